// Brace expansion: one argument such as dir/{a,b}.txt to the paths it
// stands for.
#pragma once

#include <cstdint>

#include "crenly/core/ref.hpp"

namespace crenly::creation {

/// FileCreator.parse_brace_expansion(self, text): the paths that `text`
/// stands for, or [text] when it holds no brace group.
core::Ref parse_brace_expansion(PyObject* self, PyObject* text);

/// How many calls took the shortcut through re's compiled pattern since the
/// module was loaded (for tests and diagnostics).
std::uint64_t parse_brace_expansion_shortcut_calls() noexcept;

}  // namespace crenly::creation
