// FileCreator: the constructor and single-file creation.
#pragma once

#include <cstdint>

#include "crenly/core/ref.hpp"

namespace crenly::creation {

/// FileCreator.__init__(self): the icon path, and Growl when available.
core::Ref init(PyObject* self);

/// FileCreator.create_file(self, filepath): True when the file was created
/// (by the native road where it may stand in, else by the pathlib steps);
/// otherwise the failure line (and with --debug the traceback) and False.
core::Ref create_file(PyObject* self, PyObject* filepath);

/// How many calls took the native road since the module was loaded (for
/// tests and diagnostics; always 0 where there is no road).
std::uint64_t create_file_shortcut_calls() noexcept;

}  // namespace crenly::creation
