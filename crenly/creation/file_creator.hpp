// FileCreator: the constructor and single-file creation.
#pragma once

#include "crenly/core/ref.hpp"

namespace crenly::creation {

/// FileCreator.__init__(self): the icon path, and Growl when available.
core::Ref init(PyObject* self);

/// FileCreator.create_file(self, filepath): True when the file was created
/// (by the native road where it may stand in, else by the pathlib steps);
/// otherwise the failure line (and with --debug the traceback) and False.
core::Ref create_file(PyObject* self, PyObject* filepath);

}  // namespace crenly::creation
