// Desktop notifications through a Growl-protocol daemon.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::notify {

/// FileCreator._init_growl(self): registers with the daemon, or warns once
/// (the failure gaining the traceback entry of `traceback_code`) and leaves
/// notifications off.
module::Ref init_growl(PyObject* self, PyObject* traceback_code);

/// FileCreator._notify(self, filepath): one notification, best effort; with
/// --debug, a failure is reported on the console.
module::Ref notify(PyObject* self, PyObject* filepath, PyObject* traceback_code);

}  // namespace crenly::notify
