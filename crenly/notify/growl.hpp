// Desktop notifications through a Growl-protocol daemon.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::notify {

/// Body of FileCreator._init_growl(self): registers with the daemon, or
/// warns once and leaves notifications off.
module::Ref init_growl_body(PyObject* const* args);

/// Body of FileCreator._notify(self, filepath): one notification, best effort.
module::Ref notify_body(PyObject* const* args);

}  // namespace crenly::notify
