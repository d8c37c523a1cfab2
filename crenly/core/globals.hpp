// Module globals and builtins, looked up by name at the moment of use.
#pragma once

#include "crenly/core/names.hpp"

namespace crenly::core {

/// The builtin `name`; NameError "name '...' is not defined" when missing.
Ref load_builtin(Id name);

/// What `name` means in Python code of the namespace `globals`: its global,
/// else the builtin; NameError "name '...' is not defined" when neither.
Ref load_global_in(PyObject* globals, PyObject* name);

/// The global `name` of the module (its namespace, then the builtins).
Ref load_global(Id name);

/// `Path(arg)`, with the global Path.
Ref make_path(PyObject* arg);

/// `Path(__file__)`: the module's own file (both globals looked up afresh).
Ref module_file_path();

}  // namespace crenly::core
