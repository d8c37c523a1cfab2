#include "crenly/creation/file_creator.hpp"

#include <cerrno>
#include <cstring>

#include "crenly/module/callables.hpp"
#include "crenly/module/calls.hpp"
#include "crenly/module/globals.hpp"

namespace crenly::creation {

using namespace crenly::module;

namespace {

/// Copies the absolute path of `file_path` to the clipboard; a failure is
/// reported as a warning line and otherwise ignored.
void copy_to_clipboard(PyObject* file_path) {
    try {
        Ref clipboard = load_global(Id::clipboard);
        Ref copy = getattr(clipboard.get(), Id::copy);
        Ref absolute = call_method(file_path, Id::absolute);
        Ref text = own(PyObject_Str(absolute.get()));
        call(copy.get(), text.get());
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception));
        error_line(Id::warn_clipboard_copy, handling.exception());
    }
}

/// Raises the OSError of C error `number` for `file_path` (IsADirectoryError
/// for EISDIR): the path names no file that the caller can be told was created.
[[noreturn]] CRENLY_COLD void raise_os_error(int number, PyObject* file_path) {
    Ref name = own(PyObject_Str(file_path));
    // Built from its values, not from errno: on Windows the module's C runtime
    // is not the interpreter's, and the two do not share errno. OSError picks
    // the subclass for the number.
    Ref args = own(Py_BuildValue("(isO)", number, std::strerror(number), name.get()));
    PyErr_SetObject(PyExc_OSError, args.get());
    throw_python_error();
}

/// The steps of one creation; any failure leaves by exception.
void create(PyObject* self, PyObject* filepath) {
    Ref file_path = make_path(filepath);
    Ref parent = getattr(file_path.get(), Id::parent_attr);
    call_method_kw(parent.get(), Id::mkdir, Kw::mkdir, Py_True, Py_True);
    if (truth(call_method(file_path.get(), Id::is_dir).get())) raise_os_error(EISDIR, file_path.get());
    call_method_kw(file_path.get(), Id::touch, Kw::touch, Py_True);
    // touch succeeds on a device (nul, con or aux on Windows, /dev/null),
    // where no file is made.
    if (!truth(call_method(file_path.get(), Id::is_file).get())) raise_os_error(EINVAL, file_path.get());

    Ref has_clipboard = load_global(Id::HAS_CLIPBOARD);
    if (truth(has_clipboard.get())) copy_to_clipboard(file_path.get());

    Ref as_text = own(PyObject_Str(file_path.get()));
    call_method(self, Id::notify_method, as_text.get());

    Ref absolute = call_method(file_path.get(), Id::absolute);
    Ref absolute_text = own(PyObject_Str(absolute.get()));
    Ref line = concat({str(Id::created_prefix), absolute_text.get(), str(Id::double_quote)});
    console_line(line.get());
}

}  // namespace

Ref init_body(PyObject* const* args) {
    PyObject* self = args[0];
    Ref module_path = module_file_path();
    Ref directory = getattr(module_path.get(), Id::parent_attr);
    Ref icon = own(PyNumber_TrueDivide(directory.get(), str(Id::icon_file)));
    setattr(self, Id::icon_path, icon.get());
    setattr(self, Id::growl, Py_None);
    Ref has_growl = load_global(Id::HAS_GROWL);
    if (truth(has_growl.get())) call_method(self, Id::init_growl);
    return Ref::borrow(Py_None);
}

Ref create_file_body(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* filepath = args[1];
    try {
        create(self, filepath);
        return Ref::borrow(Py_True);
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception, traceback_code(CallableId::create_file)));
        Ref reason = format_empty(handling.exception());
        Ref line = concat({str(Id::failed_prefix), filepath, str(Id::failed_separator), reason.get()});
        console_line(line.get());
        if (debug_requested()) {
            Ref traceback = load_global(Id::traceback);
            Ref text = call_method(traceback.get(), Id::format_exc);
            console_line(text.get());
        }
        return Ref::borrow(Py_False);
    }
}

}  // namespace crenly::creation
