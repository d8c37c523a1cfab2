#include "crenly/notify/growl.hpp"

#include "crenly/core/console.hpp"
#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"

namespace crenly::notify {

using namespace crenly::core;

namespace {

/// The icon as a file: URI text when the icon file exists, else None;
/// looked up afresh on every call.
Ref icon_value(PyObject* self) {
    if (!truth(call_method(getattr(self, Id::icon_path), Id::exists))) return Ref::borrow(Py_None);
    Ref uri = call_method(getattr(self, Id::icon_path), Id::as_uri);
    return own(PyObject_Str(uri.get()));
}

// The one notification type.
const Text create_type{"create"};

/// A new one-element list ["create"].
Ref create_list() {
    Ref list = own(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(create_type.get()));
    return list;
}

void register_notifier(PyObject* self) {
    Ref notifier_module = getattr(load_global(Id::gntp), Id::notifier);
    Ref notifications = create_list();
    Ref defaults = create_list();
    Ref icon = icon_value(self);
    Ref notifier_type = getattr(notifier_module, Id::GrowlNotifier);
    Ref notifier = call_named(notifier_type.get(), {},
                              {{Id::applicationName, str(Id::crenly)},
                               {Id::notifications, notifications},
                               {Id::defaultNotifications, defaults},
                               {Id::applicationIcon, icon}});
    setattr(self, Id::growl, notifier);
    call_method(getattr(self, Id::growl), Id::register_);
}

// growl.notify(noteType=..., title=..., description=..., icon=..., sticky=..., priority=...)
const KeywordNames notify_keywords{Id::noteType, Id::title,  Id::description,
                                   Id::icon,     Id::sticky, Id::priority};
// The message of a notification: "File created: "<file name>"".
const Text message_prefix{"File created: \""};
const Text double_quote{"\""};

void send(PyObject* self, PyObject* filepath) {
    Ref growl = getattr(self, Id::growl);
    Ref name = getattr(make_path(filepath), Id::name);
    Ref name_text = format_empty(name.get());
    Ref description = concat({message_prefix.get(), name_text.get(), double_quote.get()});
    Ref icon = icon_value(self);
    call_method_kw(growl, Id::notify, notify_keywords, create_type, str(Id::crenly), description,
                   icon, Py_False, state.int1);
}

}  // namespace

const Text warn_growl_init{"Warning: Could not initialize Growl: "};

Ref init_growl(PyObject* self) {
    try {
        register_notifier(self);
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception));
        error_line(warn_growl_init, handling.exception());
        setattr(self, Id::growl, Py_None);
    }
    return Ref::borrow(Py_None);
}

const Text notification_error{"Notification error: "};

Ref notify(PyObject* self, PyObject* filepath) {
    if (!truth(getattr(self, Id::growl))) return Ref::borrow(Py_None);
    if (!truth(load_global(Id::HAS_GROWL))) return Ref::borrow(Py_None);
    try {
        send(self, filepath);
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception));
        if (debug_requested()) error_line(notification_error, handling.exception());
    }
    return Ref::borrow(Py_None);
}

}  // namespace crenly::notify
