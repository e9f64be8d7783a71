#pragma once

// Python view of this file: nothing; it is the C++ side of every binding file.
//   Object        an owning PyObject* handle (explicit borrow / steal / release)
//   PythonError   "a Python exception is set": unwinds to the entry point's boundary
//   to_str / to_int / to_float / make_tuple / make_list: results converted by value

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <string_view>
#include <utility>

namespace revuradova::py {

/// Thrown after a C-API call failed and left its exception set; the boundary of the
/// entry point returns NULL / -1 with that exception untouched.
struct PythonError : std::exception {
    const char* what() const noexcept override { return "Python exception set"; }
};

/// Sets `type(message)` and throws PythonError.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError();
}

inline PyObject* raise_if_null(PyObject* result) {
    if (result == nullptr) throw PythonError();
    return result;
}

inline void raise_if_negative(int status) {
    if (status < 0) throw PythonError();
}

/// Owns one strong reference (or nothing). A raw pointer becomes owned only through
/// steal() (takes over a new reference) or borrow() (adds one).
class Object {
public:
    Object() noexcept = default;
    static Object steal(PyObject* ptr) noexcept { return Object(ptr); }
    static Object borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Object(ptr);
    }
    /// Steals a new reference returned by the C API, throwing PythonError for NULL.
    static Object checked(PyObject* ptr) { return Object(raise_if_null(ptr)); }

    Object(const Object& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Object(Object&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Object& operator=(Object other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Object() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    /// Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Object(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

inline Object to_str(std::string_view text) {
    return Object::checked(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline Object to_int(std::uint64_t value) {
    return Object::checked(PyLong_FromUnsignedLongLong(value));
}

/// Widens exactly: a 32-bit 0.1 reads back as the double nearest that float.
inline Object to_float(float value) {
    return Object::checked(PyFloat_FromDouble(static_cast<double>(value)));
}

inline Object none() { return Object::borrow(Py_None); }

/// A tuple of the given values, in order; takes over the handles.
template <class... Items>
Object make_tuple(Items&&... items) {
    Object tuple = Object::checked(PyTuple_New(sizeof...(Items)));
    Py_ssize_t index = 0;
    // PyTuple_SetItem steals each reference, also when it fails.
    ((raise_if_negative(
         PyTuple_SetItem(tuple.get(), index++, Object(std::forward<Items>(items)).release()))),
     ...);
    return tuple;
}

/// A list made of convert(item) for every item of `range`, in order.
template <class Range, class Convert>
Object make_list(const Range& range, Convert convert) {
    Object list = Object::checked(PyList_New(static_cast<Py_ssize_t>(std::size(range))));
    Py_ssize_t index = 0;
    for (const auto& item : range) {
        raise_if_negative(PyList_SetItem(list.get(), index++, convert(item).release()));
    }
    return list;
}

}  // namespace revuradova::py
