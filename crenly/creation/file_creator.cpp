#include "crenly/creation/file_creator.hpp"

#include <cerrno>
#include <cstring>

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

#include "crenly/cli/main.hpp"
#include "crenly/creation/fast_create.hpp"
#include "crenly/module/console.hpp"
#include "crenly/module/globals.hpp"
#include "crenly/module/protocol.hpp"

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
    static Stream stream(int i) noexcept {
        return GetStdHandle(i == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    }
    /// Sets the inheritance of `h`; true when it changed (false also for no
    /// handle, or one whose flag cannot be read or set).
    static bool set_inherited(Stream h, bool inherited) noexcept {
        DWORD flags = 0;
        if (h == nullptr || h == INVALID_HANDLE_VALUE || !GetHandleInformation(h, &flags))
            return false;
        if (((flags & HANDLE_FLAG_INHERIT) != 0) == inherited) return false;
        return SetHandleInformation(h, HANDLE_FLAG_INHERIT, inherited ? HANDLE_FLAG_INHERIT : 0) !=
               0;
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

const Text warn_clipboard_copy{"Warning: Could not copy to clipboard: "};

}  // namespace

void copy_to_clipboard(PyObject* file_path) {
    try {
        Ref clipboard = load_global(Id::clipboard);
        Ref copy = getattr(clipboard, Id::copy);
        Ref absolute = call_method(file_path, Id::absolute);
        Ref text = own(PyObject_Str(absolute.get()));
        StandardStreamsNotInherited not_inherited;
        call(copy, text);
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception));
        error_line(warn_clipboard_copy, handling.exception());
    }
}

CRENLY_COLD void raise_os_error(int number, PyObject* file_path) {
    // Built from its values, not from errno: on Windows the module's C runtime
    // is not the interpreter's, and the two do not share errno. OSError picks
    // the subclass for the number.
    Ref args;
    if (file_path == nullptr) {
        args = own(Py_BuildValue("(is)", number, std::strerror(number)));
    } else {
        Ref name = own(PyObject_Str(file_path));
        args = own(Py_BuildValue("(isO)", number, std::strerror(number), name.get()));
    }
    PyErr_SetObject(PyExc_OSError, args.get());
    throw_python_error();
}

namespace {

// parent.mkdir(parents=True, exist_ok=True) and file_path.touch(exist_ok=True)
const KeywordNames mkdir_keywords{Id::parents, Id::exist_ok};
const KeywordNames touch_keywords{Id::exist_ok};
// The line of a created file: "\u2713 File created: "<absolute path>"".
const Text created_prefix{"\u2713 File created: \""};
const Text double_quote{"\""};

/// The steps of one creation; any failure leaves by exception.
void create(PyObject* self, PyObject* filepath) {
    if (create_fast(self, filepath)) return;
    Ref file_path = make_path(filepath);
    Ref parent = getattr(file_path, Id::parent);
    call_method_kw(parent, Id::mkdir, mkdir_keywords, Py_True, Py_True);
    if (truth(call_method(file_path, Id::is_dir))) raise_os_error(EISDIR, file_path.get());
    call_method_kw(file_path, Id::touch, touch_keywords, Py_True);
    // touch succeeds on a device (nul, con or aux on Windows, /dev/null),
    // where no file is made.
    if (!truth(call_method(file_path, Id::is_file))) raise_os_error(EINVAL, file_path.get());
    finish_creation(self, file_path.get());
}

}  // namespace

void finish_creation(PyObject* self, PyObject* file_path) {
    if (truth(load_global(Id::HAS_CLIPBOARD))) copy_to_clipboard(file_path);

    Ref as_text = own(PyObject_Str(file_path));
    call_method(self, Id::notify_method, as_text);

    Ref absolute = call_method(file_path, Id::absolute);
    Ref absolute_text = own(PyObject_Str(absolute.get()));
    console_line(created_line(absolute_text.get()));
}

Ref created_line(PyObject* absolute) {
    return concat({created_prefix.get(), absolute, double_quote.get()});
}

Ref created_line(PyObject* directory, PyObject* separator, PyObject* path) {
    return concat({created_prefix.get(), directory, separator, path, double_quote.get()});
}

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

Ref create_file(PyObject* self, PyObject* filepath, PyObject* traceback_code) {
    try {
        create(self, filepath);
        return Ref::borrow(Py_True);
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception, traceback_code));
        Ref reason = format_empty(handling.exception());
        console_line(concat({failed_prefix.get(), filepath, failed_separator.get(), reason.get()}));
        if (cli::debug_requested()) {
            console_line(call_method(load_global(Id::traceback), Id::format_exc));
        }
        return Ref::borrow(Py_False);
    }
}

}  // namespace crenly::creation
