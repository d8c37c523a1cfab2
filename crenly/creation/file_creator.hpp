// FileCreator: the constructor and single-file creation.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::creation {

/// FileCreator.__init__(self): the icon path, and Growl when available.
module::Ref init(PyObject* self);

/// FileCreator.create_file(self, filepath): True when the file was created
/// (by the native road where it may stand in, else by the pathlib steps);
/// otherwise the failure line (and with --debug the traceback, which gains
/// the entry of `traceback_code`) and False.
module::Ref create_file(PyObject* self, PyObject* filepath, PyObject* traceback_code);

}  // namespace crenly::creation
