#pragma once

// Python view of this file: nothing; how the five classes are laid out and created.
//   Instance<T>   PyObject_HEAD, a borrow flag, and the one core value T it owns
//   LazyType      a class's type object, created from its PyType_Spec on first request and kept
//   no_constructor_new   the tp_new of classes that Python cannot instantiate

#include <new>
#include <utility>

#include "python_bindings/borrow.hpp"

namespace revuradova::py {

/// The memory layout of every instance: the value is constructed in place by
/// create_instance() and destroyed by dealloc_instance(); it is never default-constructed.
/// `constructed` is set only once the value exists (tp_alloc zero-fills the memory), so an
/// instance whose value was never made is refused by every entry point instead of read.
template <class T>
struct Instance {
    PyObject_HEAD BorrowFlag borrow;
    bool constructed;
    union {
        T value;
    };
};

/// Flags of every class: immutable heap types (class attributes cannot be assigned or
/// deleted, so no Python code can swap a constructor or a method), not subclassable.
inline constexpr unsigned long kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

/// A type object made from its PyType_Spec on first request and kept for the life of the process.
class LazyType {
public:
    constexpr LazyType(PyType_Spec* spec, const char* class_name)
        : spec_(spec), class_name_(class_name) {}

    /// Borrowed reference to the type; on failure raises RuntimeError
    /// "An error occurred while initializing class X" with the cause attached.
    PyTypeObject* get();
    const char* class_name() const { return class_name_; }

private:
    PyType_Spec* spec_;
    const char* class_name_;
    PyObject* type_ = nullptr;
};

/// The PyType_Spec of one of the module's classes: full name "builtins.<class>", fixed-size
/// instances, kClassFlags.
inline PyType_Spec class_spec(const char* full_name, std::size_t basicsize, PyType_Slot* slots) {
    return PyType_Spec{
        .name = full_name,
        .basicsize = static_cast<int>(basicsize),
        .itemsize = 0,
        .flags = kClassFlags,
        .slots = slots,
    };
}

/// Allocates an instance of `type` and moves `value` into it.
template <class T>
PyObject* create_instance(PyTypeObject* type, T&& value) {
    auto* alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = raise_if_null(alloc(type, 0));
    auto* instance = reinterpret_cast<Instance<std::decay_t<T>>*>(self);
    instance->borrow = BorrowFlag{};
    instance->constructed = false;
    try {
        new (&instance->value) std::decay_t<T>(std::forward<T>(value));
    } catch (...) {
        // Release the half-made instance; dealloc skips the value that was never made.
        Py_DECREF(self);
        throw;
    }
    instance->constructed = true;
    return self;
}

/// tp_dealloc of Instance<T>: destroy the value, free the memory, release the heap type.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* instance = reinterpret_cast<Instance<T>*>(self);
    if (instance->constructed) instance->value.~T();
    auto* free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

/// The instance behind `self` when it is exactly of `type` (the classes cannot be
/// subclassed) and its value exists; raises TypeError otherwise.
template <class T>
Instance<T>& instance_of(PyObject* self, LazyType& type) {
    PyTypeObject* expected = type.get();
    if (self == nullptr || !Py_IS_TYPE(self, expected)) {
        PyErr_Format(PyExc_TypeError, "expected a %s instance", type.class_name());
        throw PythonError();
    }
    auto& instance = *reinterpret_cast<Instance<T>*>(self);
    if (!instance.constructed) {
        PyErr_Format(PyExc_TypeError, "%s instance was not initialized by its constructor",
                     type.class_name());
        throw PythonError();
    }
    return instance;
}

/// tp_new of a class without a constructor: always raises TypeError.
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

/// A C function pointer of any method signature as the PyCFunction that PyMethodDef holds.
template <class F>
PyCFunction as_method(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace revuradova::py
