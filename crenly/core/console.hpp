// Console output: every line that the module prints goes through here.
#pragma once

#include <initializer_list>

#include "crenly/core/names.hpp"

namespace crenly::core {

/// The concatenation of `pieces` (each a str): the text of one line.
Ref concat(std::initializer_list<PyObject*> pieces);

/// `format(o, "")`: the text form of an object in a console line.
Ref format_empty(PyObject* o);

/// Prints `text` as one line on standard output through the cached print.
/// When the console cannot encode it, prints it once more with every
/// unencodable character replaced.
void console_line(PyObject* text);
inline void console_line(const Ref& text) { console_line(text.get()); }
inline void console_line(const Text& text) { console_line(text.get()); }

/// Prints `prefix` followed by the error text of `exception`, that is
/// format(exception, ""), as one console line.
void error_line(const Text& prefix, PyObject* exception);

/// "--debug": the command line's flag, and the element of sys.argv that
/// makes failure lines carry their details.
extern const Text debug_flag;

/// True when an element of sys.argv (looked up afresh) equals "--debug".
bool debug_requested();

}  // namespace crenly::core
