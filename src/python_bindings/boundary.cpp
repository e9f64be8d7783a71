#include "python_bindings/boundary.hpp"

#include <new>
#include <stdexcept>

#include "models/uuid.hpp"

namespace revuradova::py {

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "internal error: exception lost");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const RandomSourceError& error) {
        const int code = error.code().value();
        // OSError(errno, message) picks the matching subclass, as os functions do. The
        // message is a std::string, whose allocation must not escape this noexcept function.
        PyObject* args = nullptr;
        try {
            args = Py_BuildValue("(is)", code, error.code().message().c_str());
        } catch (...) {
            PyErr_NoMemory();
            return;
        }
        if (args != nullptr) {
            PyErr_SetObject(PyExc_OSError, args);
            Py_DECREF(args);
        }
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
    }
}

}  // namespace revuradova::py
