// Argument binding of the module's callables: positional and keyword
// arguments to parameters, with exact-type checks and the module's own
// TypeError messages.
#pragma once

#include "crenly/module/table.hpp"

namespace crenly::module {

/// Binds a vectorcall (`args`, `nargs` positional, then one value per name
/// in `kwnames`) to the parameters of `c`, named by the interned strs
/// `params`, writing borrowed pointers into `bound` (one entry a parameter),
/// and checks the type of each parameter that the signature checks. Returns
/// false with TypeError set when the call does not fit. Throws no C++
/// exception: a wrong call is the binder's cold path and is kept cheap. (Not
/// noexcept: comparing a keyword name may run Python code, and with it the
/// unwind of an ending thread.)
bool bind(const Callable& c, PyObject* const* params, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** bound);

}  // namespace crenly::module
