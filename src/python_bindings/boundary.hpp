#pragma once

// Python view of this file: nothing; every entry point (constructor, method, getter,
// repr) runs its body through guard(), the one place where C++ exceptions become
// Python exceptions:
//   PythonError        -> the exception already set
//   std::bad_alloc     -> MemoryError
//   RandomSourceError  -> OSError(errno, system message)
//   anything else      -> RuntimeError(what())
// and counts as one level of the interpreter's recursion limit, since a body can call back
// into Python (a sequence's __getitem__, an __index__) that calls the same entry again.

#include "python_bindings/object.hpp"

namespace revuradova::py {

/// Turns the exception being handled into a Python exception. Call only from a catch block.
void set_python_error_from_current_exception() noexcept;

/// Runs `body` (returning a new reference or NULL with an exception set) so that no C++
/// exception escapes and NULL always comes with an exception.
template <class Body>
PyObject* guard(Body&& body) noexcept {
    if (Py_EnterRecursiveCall(" while calling into revuradova") != 0) return nullptr;
    struct LeaveRecursiveCall {
        ~LeaveRecursiveCall() { Py_LeaveRecursiveCall(); }
    } leave;
    PyObject* result = nullptr;
    try {
        result = body();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_RuntimeError, "internal error: no result and no exception");
    }
    return result;
}

}  // namespace revuradova::py
