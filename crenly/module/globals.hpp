// Module globals looked up by name at the moment of use, and the console
// line that every message of the module goes through.
#pragma once

#include <initializer_list>

#include "crenly/module/state.hpp"

namespace crenly::module {

/// The global `name`: the module namespace first, then the builtins;
/// NameError "name '...' is not defined" when it is in neither.
Ref load_global(Id name);

/// Binds `name` to `value` in the module namespace.
void store_global(Id name, PyObject* value);

/// `Path(arg)`, with the global Path.
Ref make_path(PyObject* arg);

/// `Path(__file__)`: the module's own file (both globals looked up afresh).
Ref module_file_path();

/// The concatenation of `pieces` (each a str).
Ref concat(std::initializer_list<PyObject*> pieces);

/// Prints `text` as one line on standard output through the cached print.
/// When the console cannot encode it, prints it once more with every
/// unencodable character replaced.
void console_line(PyObject* text);

/// Prints `prefix` followed by the error text of `exception`, that is
/// format(exception, ""), as one console line.
void error_line(Id prefix, PyObject* exception);

/// True when an element of sys.argv equals "--debug" (looked up afresh).
bool debug_requested();

}  // namespace crenly::module
