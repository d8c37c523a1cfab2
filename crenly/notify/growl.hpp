// Desktop notifications through a Growl-protocol daemon.
#pragma once

#include "crenly/core/ref.hpp"

namespace crenly::notify {

/// FileCreator._init_growl(self): registers with the daemon, or warns once
/// and leaves notifications off.
core::Ref init_growl(PyObject* self);

/// FileCreator._notify(self, filepath): one notification, best effort; with
/// --debug, a failure is reported on the console.
core::Ref notify(PyObject* self, PyObject* filepath);

}  // namespace crenly::notify
