#include "python_bindings/module_attrs.hpp"

namespace revuradova::py {

void add_module_attribute(PyObject* module, const char* name, PyObject* value) {
    Object all = Object::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
        PyErr_Clear();
        all = Object::checked(PyList_New(0));
        raise_if_negative(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    Object key = Object::checked(PyUnicode_FromString(name));
    raise_if_negative(PyList_Append(all.get(), key.get()));
    raise_if_negative(PyObject_SetAttr(module, key.get(), value));
}

}  // namespace revuradova::py
