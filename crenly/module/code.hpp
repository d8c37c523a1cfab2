// The code objects of the callables and the frames of their traceback
// entries. Both name the virtual source file "crenly/crenly": the module
// written out as the Python program it behaves like, in which the module body
// places each definition at its line.
#pragma once

#include "crenly/module/table.hpp"

namespace crenly::module {

/// The lines that the definition of `c` takes in the virtual file: its `def`
/// line, its docstring, one line that stands for its compiled body (where the
/// code nested in it starts) and a blank line.
int definition_lines(const Callable& c) noexcept;

/// What a function of `c` holds besides its texts.
struct Code {
    core::Ref varnames;     // every local name, interned: the parameters first
    core::Ref code;         // starts at the line of the definition
    core::Ref entry;        // the frame that heads the entry "crenly.crenly.<qualname>"
    core::Ref inner_entry;  // the same for the code nested in it, or empty
};

/// The code of `c` defined at `line` of the virtual file.
Code make_code(const Callable& c, int line);

}  // namespace crenly::module
