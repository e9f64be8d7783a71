#pragma once

// Python view of this file: nothing; how functions read bytes-like and sequence arguments.
//   bytes_arg(value, name)     any object with a contiguous buffer (bytes, bytearray,
//                              memoryview, array.array), read in place while held
//   sequence_arg(value, name)  the items of any iterable but a str or bytes-like, as a tuple
//   id_arg(value, name)        an int in [0, 2**63): TypeError for a non-integer, ValueError
//                              out of range
// A TypeError from one carries the prefix "argument '<name>': ".

#include <cstdint>
#include <string_view>

#include "python_bindings/object.hpp"

namespace revuradova::py {

/// A held buffer: a bytearray behind it cannot be resized until this is destroyed.
class BytesArg {
public:
    BytesArg(PyObject* value, const char* name);
    BytesArg(BytesArg&& other) noexcept;
    BytesArg(const BytesArg&) = delete;
    BytesArg& operator=(const BytesArg&) = delete;
    BytesArg& operator=(BytesArg&&) = delete;
    ~BytesArg();

    std::string_view view() const {
        return {static_cast<const char*>(buffer_.buf), static_cast<std::size_t>(buffer_.len)};
    }

private:
    Py_buffer buffer_{};
    bool held_ = false;
};

/// A tuple of the items of `value`; TypeError for a str, a bytes-like or a non-iterable.
Object sequence_arg(PyObject* value, const char* name);

/// A document id: an int in [0, 2**63).
std::uint64_t id_arg(PyObject* value, const char* name);

inline Object to_bytes(std::string_view bytes) {
    return Object::checked(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

}  // namespace revuradova::py
