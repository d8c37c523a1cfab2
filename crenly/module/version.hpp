// get_version: the version string from the version file beside the module.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::module {

/// Body of get_version().
Ref get_version_body(PyObject* const* args);

}  // namespace crenly::module
