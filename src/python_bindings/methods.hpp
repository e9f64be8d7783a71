#pragma once

// Python view of this file: nothing; the frame every instance method runs in.
//   run_method<T, Borrow, N>(self, type, signature, args..., body)
//       inside guard(): check that `self` is a constructed instance of `type`, take the
//       borrow, match the N arguments to `signature`, then body(value, arguments)

#include <array>
#include <cstddef>

#include "python_bindings/args.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/type_builder.hpp"

namespace revuradova::py {

template <class T, class Borrow, std::size_t N, class Body>
PyObject* run_method(PyObject* self, LazyType& type, const Signature& signature,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return guard([&] {
        auto& instance = instance_of<T>(self, type);
        const Borrow borrow(instance.borrow);
        std::array<PyObject*, N> arguments{};
        parse_arguments(signature, args, nargs, kwnames, arguments.data());
        return body(instance.value, arguments);
    });
}

}  // namespace revuradova::py
