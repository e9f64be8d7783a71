#include "python_bindings/buffer_arg.hpp"

#include <utility>

#include "python_bindings/args.hpp"

namespace revuradova::py {

BytesArg::BytesArg(PyObject* value, const char* name) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "expected a bytes-like object, got str");
        raise_argument_error(name);
    }
    if (PyObject_GetBuffer(value, &buffer_, PyBUF_SIMPLE) != 0) raise_argument_error(name);
    held_ = true;
}

BytesArg::BytesArg(BytesArg&& other) noexcept
    : buffer_(other.buffer_), held_(std::exchange(other.held_, false)) {}

BytesArg::~BytesArg() {
    if (held_) PyBuffer_Release(&buffer_);
}

Object sequence_arg(PyObject* value, const char* name) {
    if (PyUnicode_Check(value) || PyObject_CheckBuffer(value)) {
        PyErr_Format(PyExc_TypeError, "expected a sequence, got %s", type_name_of(value).c_str());
        raise_argument_error(name);
    }
    Object items = Object::steal(PySequence_Tuple(value));
    if (!items) raise_argument_error(name);
    return items;
}

std::uint64_t id_arg(PyObject* value, const char* name) {
    Object index = Object::steal(PyNumber_Index(value));
    if (!index) raise_argument_error(name);
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (id == -1 && PyErr_Occurred()) raise_argument_error(name);
    if (overflow != 0 || id < 0) {
        PyErr_Format(PyExc_ValueError, "argument '%s': id %R is not in [0, 2**63)", name,
                     index.get());
        throw PythonError();
    }
    return static_cast<std::uint64_t>(id);
}

}  // namespace revuradova::py
