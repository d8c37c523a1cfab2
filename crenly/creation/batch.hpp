// Batch creation: expand every brace pattern of a list, then create each path.
#pragma once

#include "crenly/core/ref.hpp"

namespace crenly::creation {

/// True when `name` holds a "{" and also a "}" (anywhere, in either order).
bool has_braces(PyObject* name);

/// FileCreator.create_files(self, files): expands every brace name of
/// `files`, then creates each path; the number created.
core::Ref create_files(PyObject* self, PyObject* files);

}  // namespace crenly::creation
