// The function type of the module's callables: Python-visible attributes
// (name, qualified name, module, docstring, annotations, code), binding as a
// method through the descriptor protocol, and calls through vectorcall.
#pragma once

#include <cstddef>

#include "crenly/module/table.hpp"

namespace crenly::module {

/// A new function object for the row `index` of the table, defined at
/// `line` of the virtual file (module/code.hpp).
core::Ref make_function(std::size_t index, int line);

}  // namespace crenly::module
