#include "crenly/creation/file_creator.hpp"

#include <cerrno>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#endif

#include "crenly/module/callables.hpp"
#include "crenly/module/calls.hpp"
#include "crenly/module/globals.hpp"

namespace crenly::creation {

using namespace crenly::module;

namespace {

/// While alive, the process's standard output and error are not inherited
/// by the processes it starts; each is restored as it was. The clipboard
/// package's X11 helper (xclip, xsel) stays in the background to serve the
/// selection: holding crenly's output, it kept the reader of a pipe waiting
/// for an end that came only when something else took the clipboard. Only the
/// inheritance flags change, so nothing that crenly writes is lost or
/// reordered; a process started meanwhile by another thread does not get the
/// two streams either.
class StandardStreamsNotInherited {
public:
    StandardStreamsNotInherited() noexcept {
        for (int i = 0; i < 2; ++i) changed_[i] = set_inherited(stream(i), false);
    }
    ~StandardStreamsNotInherited() {
        for (int i = 0; i < 2; ++i) {
            if (changed_[i]) set_inherited(stream(i), true);
        }
    }
    StandardStreamsNotInherited(const StandardStreamsNotInherited&) = delete;
    StandardStreamsNotInherited& operator=(const StandardStreamsNotInherited&) = delete;

private:
#ifdef _WIN32
    using Stream = HANDLE;
    static Stream stream(int i) noexcept { return GetStdHandle(i == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE); }
    /// Sets the inheritance of `h`; true when it changed (false also for no
    /// handle, or one whose flag cannot be read or set).
    static bool set_inherited(Stream h, bool inherited) noexcept {
        DWORD flags = 0;
        if (h == nullptr || h == INVALID_HANDLE_VALUE || !GetHandleInformation(h, &flags)) return false;
        if (((flags & HANDLE_FLAG_INHERIT) != 0) == inherited) return false;
        return SetHandleInformation(h, HANDLE_FLAG_INHERIT, inherited ? HANDLE_FLAG_INHERIT : 0) != 0;
    }
#else
    using Stream = int;
    static Stream stream(int i) noexcept { return i + 1; }
    /// Sets the inheritance of descriptor `fd`; true when it changed (false
    /// also for a closed descriptor).
    static bool set_inherited(Stream fd, bool inherited) noexcept {
        const int flags = fcntl(fd, F_GETFD);
        if (flags < 0 || ((flags & FD_CLOEXEC) == 0) == inherited) return false;
        return fcntl(fd, F_SETFD, inherited ? flags & ~FD_CLOEXEC : flags | FD_CLOEXEC) == 0;
    }
#endif
    bool changed_[2] = {false, false};
};

/// Copies the absolute path of `file_path` to the clipboard; a failure is
/// reported as a warning line and otherwise ignored.
void copy_to_clipboard(PyObject* file_path) {
    try {
        Ref clipboard = load_global(Id::clipboard);
        Ref copy = getattr(clipboard.get(), Id::copy);
        Ref absolute = call_method(file_path, Id::absolute);
        Ref text = own(PyObject_Str(absolute.get()));
        StandardStreamsNotInherited not_inherited;
        call(copy.get(), text.get());
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception));
        error_line(Id::warn_clipboard_copy, handling.exception());
    }
}

/// Raises IsADirectoryError for `file_path`: a directory is not a file the
/// caller can be told was created.
[[noreturn]] CRENLY_COLD void raise_is_a_directory(PyObject* file_path) {
    Ref name = own(PyObject_Str(file_path));
    errno = EISDIR;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
    throw_python_error();
}

/// The steps of one creation; any failure leaves by exception.
void create(PyObject* self, PyObject* filepath) {
    Ref file_path = make_path(filepath);
    Ref parent = getattr(file_path.get(), Id::parent_attr);
    call_method_kw(parent.get(), Id::mkdir, Kw::mkdir, Py_True, Py_True);
    if (truth(call_method(file_path.get(), Id::is_dir).get())) raise_is_a_directory(file_path.get());
    call_method_kw(file_path.get(), Id::touch, Kw::touch, Py_True);

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
