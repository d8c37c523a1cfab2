#include "crenly/notify/growl.hpp"

#include "crenly/module/callables.hpp"
#include "crenly/module/calls.hpp"
#include "crenly/module/globals.hpp"

namespace crenly::notify {

using namespace crenly::module;

namespace {

/// The icon as a file: URI text when the icon file exists, else None;
/// looked up afresh on every call.
Ref icon_value(PyObject* self) {
    Ref icon_path = getattr(self, Id::icon_path);
    if (!truth(call_method(icon_path.get(), Id::exists).get())) return Ref::borrow(Py_None);
    icon_path = getattr(self, Id::icon_path);
    Ref uri = call_method(icon_path.get(), Id::as_uri);
    return own(PyObject_Str(uri.get()));
}

/// A new one-element list ["create"].
Ref create_list() {
    Ref list = own(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(str(Id::create)));
    return list;
}

void register_notifier(PyObject* self) {
    Ref gntp = load_global(Id::gntp);
    Ref notifier_module = getattr(gntp.get(), Id::notifier);
    Ref notifications = create_list();
    Ref defaults = create_list();
    Ref icon = icon_value(self);
    Ref notifier_type = getattr(notifier_module.get(), Id::GrowlNotifier);
    Ref notifier = call_kw(notifier_type.get(), Kw::notifier, str(Id::crenly), notifications.get(),
                           defaults.get(), icon.get());
    setattr(self, Id::growl, notifier.get());
    Ref growl = getattr(self, Id::growl);
    call_method(growl.get(), Id::register_);
}

void send(PyObject* self, PyObject* filepath) {
    Ref growl = getattr(self, Id::growl);
    Ref path = make_path(filepath);
    Ref name = getattr(path.get(), Id::name);
    Ref name_text = format_empty(name.get());
    Ref description = concat({str(Id::file_created), name_text.get(), str(Id::double_quote)});
    Ref icon = icon_value(self);
    Ref priority = Ref::borrow(state.int1.get());
    call_method_kw(growl.get(), Id::notify, Kw::notify, str(Id::create), str(Id::crenly), description.get(),
                   icon.get(), Py_False, priority.get());
}

}  // namespace

Ref init_growl_body(PyObject* const* args) {
    PyObject* self = args[0];
    try {
        register_notifier(self);
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception, traceback_code(CallableId::init_growl)));
        error_line(Id::warn_growl_init, handling.exception());
        setattr(self, Id::growl, Py_None);
    }
    return Ref::borrow(Py_None);
}

Ref notify_body(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* filepath = args[1];
    Ref growl = getattr(self, Id::growl);
    if (!truth(growl.get())) return Ref::borrow(Py_None);
    Ref has_growl = load_global(Id::HAS_GROWL);
    if (!truth(has_growl.get())) return Ref::borrow(Py_None);
    try {
        send(self, filepath);
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception, traceback_code(CallableId::notify)));
        if (debug_requested()) {
            error_line(Id::notification_error, handling.exception());
        }
    }
    return Ref::borrow(Py_None);
}

}  // namespace crenly::notify
