#pragma once

// Python view of this file: nothing; module attributes are added so that
//   module.__all__.append(name); setattr(module, name, value)
// and `__all__` lists every attribute that the module entry adds, in order.

#include "python_bindings/object.hpp"

namespace revuradova::py {

/// Appends `name` to the module's `__all__` (creating the list if missing), then sets
/// the attribute to `value`.
void add_module_attribute(PyObject* module, const char* name, PyObject* value);

}  // namespace revuradova::py
