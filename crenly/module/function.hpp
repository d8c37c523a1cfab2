// The function type of the module's callables: Python-visible attributes
// (name, qualified name, module, docstring, annotations, code), binding as a
// method through the descriptor protocol, and calls through vectorcall.
#pragma once

#include "crenly/module/table.hpp"

namespace crenly::module {

/// A new function object for the table entry `id`.
Ref make_function(CallableId id);

/// Whether `o` is a function object of the module made for `id`.
bool is_function(PyObject* o, CallableId id) noexcept;

}  // namespace crenly::module
