#include "python_bindings/args.hpp"

namespace revuradova::py {
namespace {

std::string_view utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) throw PythonError();
    return {data, static_cast<std::size_t>(size)};
}

// Strings of at least this many code points are checked for ASCII before they are read;
// below it, the UTF-8 copy CPython caches in a non-ASCII string is at most a few hundred
// bytes.
constexpr Py_ssize_t kUncachedTextLength = 256;

// str.isascii of the base class, so that a subclass cannot answer for it.
bool is_ascii(PyObject* text) {
    Object answer = Object::checked(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "isascii", "O", text));
    return Py_IsTrue(answer.get());
}

void check_complete(const Signature& signature, PyObject** out) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", signature.function,
                         signature.parameters[i]);
            throw PythonError();
        }
    }
}

void check_positional_count(const Signature& signature, Py_ssize_t given) {
    const auto expected = static_cast<Py_ssize_t>(signature.parameters.size());
    if (given > expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     signature.function, expected, expected == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
        throw PythonError();
    }
}

// Places the keyword argument `key` = `value` into its parameter slot. Names are compared
// without encoding `key`, so an odd name (a lone surrogate, say) is simply unknown.
void place_keyword(const Signature& signature, PyObject* key, PyObject* value, PyObject** out) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        const std::string_view parameter = signature.parameters[i];
        if (PyUnicode_Check(key) &&
            PyUnicode_EqualToUTF8AndSize(key, parameter.data(),
                                         static_cast<Py_ssize_t>(parameter.size())) == 1) {
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             signature.function, signature.parameters[i]);
                throw PythonError();
            }
            out[i] = value;
            return;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", signature.function,
                 key);
    throw PythonError();
}

// Whether `value` is a NumPy boolean, judged by its type's module and name. A type without
// __module__ is simply not NumPy's; any other failure while looking (MemoryError, say) is the
// caller's error and propagates as it is.
bool is_numpy_bool(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    Object module = Object::steal(PyType_GetModuleName(type));
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
        PyErr_Clear();
        return false;
    }
    // A class's __module__ can be any object; only a str is compared.
    if (!PyUnicode_Check(module.get()) || PyUnicode_EqualToUTF8(module.get(), "numpy") != 1) {
        return false;
    }
    Object name = Object::checked(PyType_GetName(type));
    if (!PyUnicode_Check(name.get())) return false;
    return PyUnicode_EqualToUTF8(name.get(), "bool") == 1 ||
           PyUnicode_EqualToUTF8(name.get(), "bool_") == 1;
}

}  // namespace

void parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    check_positional_count(signature, nargs);
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            place_keyword(signature, PyTuple_GetItem(kwnames, k), args[nargs + k], out);
        }
    }
    check_complete(signature, out);
}

void parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) throw PythonError();
    check_positional_count(signature, nargs);
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(signature, key, value, out);
    }
    check_complete(signature, out);
}

[[noreturn]] void raise_argument_error(const char* name) {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr || !PyErr_GivenExceptionMatches(error, PyExc_TypeError)) {
        PyErr_SetRaisedException(error);
        throw PythonError();
    }
    PyObject* message = PyObject_Str(error);
    if (message == nullptr) {
        Py_DECREF(error);
        throw PythonError();
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message);
    Py_DECREF(message);
    Py_DECREF(error);
    throw PythonError();
}

std::string type_name_of(PyObject* value) {
    Object name = Object::checked(PyType_GetName(Py_TYPE(value)));
    return std::string(utf8_of(name.get()));
}

TextArg text_arg(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %s", type_name_of(value).c_str());
        raise_argument_error(name);
    }
    if (PyUnicode_GetLength(value) >= kUncachedTextLength && !is_ascii(value)) {
        Object encoded = Object::steal(PyUnicode_AsUTF8String(value));
        if (!encoded) raise_argument_error(name);
        char* data = nullptr;
        Py_ssize_t size = 0;
        raise_if_negative(PyBytes_AsStringAndSize(encoded.get(), &data, &size));
        return TextArg(std::move(encoded), {data, static_cast<std::size_t>(size)});
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) raise_argument_error(name);
    return TextArg(Object(), {data, static_cast<std::size_t>(size)});
}

std::uint64_t count_arg(PyObject* value, const char* name) {
    Object index = Object::steal(PyNumber_Index(value));
    if (!index) raise_argument_error(name);
    const unsigned long long count = PyLong_AsUnsignedLongLong(index.get());
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        raise_argument_error(name);
    }
    return count;
}

bool flag_arg(PyObject* value, const char* name) {
    if (Py_IsTrue(value)) return true;
    if (Py_IsFalse(value)) return false;
    if (is_numpy_bool(value)) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) raise_argument_error(name);
        return truth == 1;
    }
    PyErr_Format(PyExc_TypeError, "expected bool, got %s", type_name_of(value).c_str());
    raise_argument_error(name);
}

}  // namespace revuradova::py
