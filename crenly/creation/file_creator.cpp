#include "crenly/creation/file_creator.hpp"

#include "crenly/core/console.hpp"
#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/creation/road/road.hpp"
#include "crenly/creation/road/steps.hpp"

namespace crenly::creation {

using namespace crenly::core;

// The icon of the notifications, beside the module.
const Text icon_file{"crenly.jpg"};

Ref init(PyObject* self) {
    Ref directory = getattr(module_file_path(), Id::parent);
    Ref icon = own(PyNumber_TrueDivide(directory.get(), icon_file.get()));
    setattr(self, Id::icon_path, icon);
    setattr(self, Id::growl, Py_None);
    if (truth(load_global(Id::HAS_GROWL))) call_method(self, Id::init_growl);
    return Ref::borrow(Py_None);
}

// The line of a failure: "\u2717 Error creating file "<filepath>": <reason>".
const Text failed_prefix{"\u2717 Error creating file \""};
const Text failed_separator{"\": "};

Ref create_file(PyObject* self, PyObject* filepath) {
    try {
        if (!road::create(self, filepath)) {
            road::PathObject path(make_path(filepath));
            road::steps_from(self, path, road::Step::mkdir);
        }
        return Ref::borrow(Py_True);
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception));
        Ref reason = format_empty(handling.exception());
        console_line(concat({failed_prefix.get(), filepath, failed_separator.get(), reason.get()}));
        if (debug_requested()) {
            console_line(call_method(load_global(Id::traceback), Id::format_exc));
        }
        return Ref::borrow(Py_False);
    }
}

std::uint64_t create_file_shortcut_calls() noexcept { return road::calls(); }

}  // namespace crenly::creation
