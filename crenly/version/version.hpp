// get_version: the version string from the version file beside the module.
#pragma once

#include "crenly/core/ref.hpp"

namespace crenly::version {

/// get_version(): the version text, "2.0" when there is no version file or
/// the lookup fails (reported on the console).
core::Ref get_version();

}  // namespace crenly::version
