#include "python_bindings/type_builder.hpp"

namespace revuradova::py {

PyTypeObject* LazyType::get() {
    if (type_ != nullptr) return reinterpret_cast<PyTypeObject*>(type_);
    PyObject* type = PyType_FromSpec(spec_);
    if (type == nullptr) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s",
                     class_name_);
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause);  // steals `cause`
        PyErr_SetRaisedException(error);
        throw PythonError();
    }
    type_ = type;
    return reinterpret_cast<PyTypeObject*>(type_);
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* class_name = PyType_GetName(type);
    if (class_name == nullptr) return nullptr;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", class_name);
    Py_DECREF(class_name);
    return nullptr;
}

}  // namespace revuradova::py
