// Argument binding of the module's callables: positional and keyword
// arguments to parameters, with exact-type checks and the module's own
// TypeError messages.
#pragma once

#include "crenly/module/callables.hpp"

namespace crenly::module {

/// Binds a vectorcall (`args`, `nargs` positional, then one value per name
/// in `kwnames`) to the parameters of `c`, writing borrowed pointers into
/// `bound` (c.nparams entries). Throws PythonError with TypeError set when
/// the call does not fit.
void bind(const Callable& c, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound);

}  // namespace crenly::module
