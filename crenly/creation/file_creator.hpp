// FileCreator: the constructor and single-file creation.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::creation {

/// Body of FileCreator.__init__(self).
module::Ref init_body(PyObject* const* args);

/// Body of FileCreator.create_file(self, filepath).
module::Ref create_file_body(PyObject* const* args);

}  // namespace crenly::creation
