// Batch creation: expand every brace pattern of a list, then create each path.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::creation {

/// True when `name` holds a "{" and also a "}" (anywhere, in either order).
bool has_braces(PyObject* name);

/// Body of FileCreator.create_files(self, files).
module::Ref create_files_body(PyObject* const* args);

}  // namespace crenly::creation
