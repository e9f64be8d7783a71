#pragma once

// Python view of this file: nothing; how every constructor and method reads its arguments.
//   parse_arguments(...)  positional or keyword, every parameter required, TypeError
//                         for a missing, surplus, duplicated or unknown argument
//   text_arg / count_arg / flag_arg: the conversions; a TypeError from one carries the
//                         prefix "argument '<name>': "

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "python_bindings/object.hpp"

namespace revuradova::py {

/// The parameter names of one callable, as in its signature line.
struct Signature {
    const char* function;
    std::span<const char* const> parameters;
};

/// Matches vectorcall arguments to `signature`: `out[i]` receives a borrowed reference to
/// the value of parameter i. `nargsf` may carry PY_VECTORCALL_ARGUMENTS_OFFSET.
void parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, PyObject** out);

/// The same for a constructor's (args tuple, kwargs dict); kwargs may be NULL.
void parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out);

/// Re-raises the pending exception: a TypeError gets the prefix "argument '<name>': ",
/// any other exception passes unchanged.
[[noreturn]] void raise_argument_error(const char* name);

/// A text argument as UTF-8, valid while both this and the argument live. Small strings
/// and ASCII strings are read in place; a large non-ASCII string is encoded into a bytes
/// object held here, so that no UTF-8 copy stays cached inside the caller's string.
class TextArg {
public:
    TextArg(Object owner, std::string_view view) : owner_(std::move(owner)), view_(view) {}
    std::string_view view() const { return view_; }

private:
    Object owner_;  // the encoded copy, or nothing when read in place
    std::string_view view_;
};

/// Converts a `str` (or subclass). TypeError for other types, UnicodeEncodeError for a
/// string holding a lone surrogate.
TextArg text_arg(PyObject* value, const char* name);

/// An unsigned 64-bit count through the index protocol; OverflowError when negative or
/// above 2**64 - 1, TypeError for a non-integer.
std::uint64_t count_arg(PyObject* value, const char* name);

/// A flag: `bool`, or a NumPy boolean scalar; anything else (int included) is a TypeError.
bool flag_arg(PyObject* value, const char* name);

/// Name of the type of `value`, for messages.
std::string type_name_of(PyObject* value);

}  // namespace revuradova::py
