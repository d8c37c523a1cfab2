// Brace expansion: one argument such as dir/{a,b}.txt to the paths it
// stands for.
#pragma once

#include "crenly/core/genuine.hpp"

namespace crenly::creation {

/// FileCreator.parse_brace_expansion(self, text): the paths that `text`
/// stands for, or [text] when it holds no brace group.
core::Ref parse_brace_expansion(PyObject* self, PyObject* text);

/// The proof of re's search that the expansion's shortcut stands for.
core::Proof* brace_proof() noexcept;

}  // namespace crenly::creation
