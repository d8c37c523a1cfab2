// Brace expansion: one argument such as dir/{a,b}.txt to the paths it
// stands for.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::creation {

/// FileCreator.parse_brace_expansion(self, text): the paths that `text`
/// stands for, or [text] when it holds no brace group.
module::Ref parse_brace_expansion(PyObject* self, PyObject* text);

}  // namespace crenly::creation
