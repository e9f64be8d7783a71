#pragma once

// Python view of this file: nothing; the frame every module-level function runs in.
//   run_function<N>(signature, args..., body)
//       inside guard(): match the N arguments to `signature`, then body(arguments)
//   function_def<P, "summary">(f)   the method-table entry of a module function: its name,
//       its signature line and the summary as its docstring

#include <array>
#include <cstddef>

#include "python_bindings/args.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/signature.hpp"

namespace revuradova::py {

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t N, class Body>
PyObject* run_function(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, Body&& body) {
    return guard([&] {
        std::array<PyObject*, N> arguments{};
        parse_arguments(signature, args, nargs, kwnames, arguments.data());
        return body(arguments);
    });
}

template <class P, Name Summary>
PyMethodDef function_def(FastFunction function) {
    return {P::function, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, P::template doc<Summary>.data};
}

}  // namespace revuradova::py
