// get_version: the version string from the version file beside the module.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::module {

/// get_version(): the version text, "2.0" when there is no version file or
/// the lookup fails (reported on the console). A failure gains the traceback
/// entry of `traceback_code`.
Ref get_version(PyObject* traceback_code);

}  // namespace crenly::module
