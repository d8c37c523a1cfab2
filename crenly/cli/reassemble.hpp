// Re-assembly of file names that a shell split inside a brace pattern.
#pragma once

#include "crenly/core/ref.hpp"

namespace crenly::cli {

/// Splits `joined` (the arguments joined by single spaces) at the spaces
/// that stand outside braces, dropping empty names. `in_braces` is a flag,
/// not a depth: every "{" sets it, every "}" clears it.
core::Ref reassemble(PyObject* joined);

}  // namespace crenly::cli
