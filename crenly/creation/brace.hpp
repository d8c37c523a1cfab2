// Brace expansion: one argument such as dir/{a,b}.txt to the paths it
// stands for.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::creation {

/// Body of FileCreator.parse_brace_expansion(self, text).
module::Ref parse_brace_expansion_body(PyObject* const* args);

}  // namespace crenly::creation
