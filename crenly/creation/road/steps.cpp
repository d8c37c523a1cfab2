#include "crenly/creation/road/steps.hpp"

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

#include "crenly/core/console.hpp"
#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"

namespace crenly::creation {

using namespace crenly::core;

namespace {

/// While any one is alive, the process's standard output and error are not
/// inherited by the processes it starts; the last one restores each as it
/// was. The clipboard package's X11 helper (xclip, xsel) stays in the
/// background to serve the selection: holding crenly's output, it kept the
/// reader of a pipe waiting for an end that came only when something else took
/// the clipboard. Only the inheritance flags change, so nothing that crenly
/// writes is lost or reordered; a process started meanwhile by another thread
/// does not get the two streams either. Made and dropped under the
/// interpreter lock, which guards the count: the copies of several threads
/// overlap while each lets go of the lock.
class StandardStreamsNotInherited {
public:
    StandardStreamsNotInherited() noexcept {
        if (holders_++ > 0) return;
        for (int i = 0; i < 2; ++i) changed_[i] = set_inherited(stream(i), false);
    }
    ~StandardStreamsNotInherited() {
        // A thread ended without the interpreter leaves the count as it is.
        if (!thread_attached() || --holders_ > 0) return;
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
    static inline int holders_ = 0;
    static inline bool changed_[2] = {false, false};
};

const Text warn_clipboard_copy{"Warning: Could not copy to clipboard: "};

/// `clipboard.copy(str(file_path.absolute()))`; a failure is reported as a
/// warning line and otherwise ignored.
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

// parent.mkdir(parents=True, exist_ok=True) and file_path.touch(exist_ok=True)
const KeywordNames mkdir_keywords{Id::parents, Id::exist_ok};
const KeywordNames touch_keywords{Id::exist_ok};
// The line of a created file: "\u2713 File created: "<absolute path>"".
const Text created_prefix{"\u2713 File created: \""};
const Text double_quote{"\""};

/// The steps after the file's creation: the clipboard copy (when
/// HAS_CLIPBOARD), `self._notify(str(file_path))`, the success line.
void finish(PyObject* self, CreatedPath& path) {
    if (truth(load_global(Id::HAS_CLIPBOARD))) copy_to_clipboard(path.object());
    // The method first, then its argument, as Python evaluates the call.
    Ref notify = getattr(self, Id::notify_method);
    call(notify, path.text());
    Ref absolute = path.absolute_text();
    console_line(concat({created_prefix.get(), absolute.get(), double_quote.get()}));
}

}  // namespace

Ref PathObject::text() { return own(PyObject_Str(object_.get())); }

Ref PathObject::absolute_text() {
    Ref absolute = call_method(object_, Id::absolute);
    return own(PyObject_Str(absolute.get()));
}

void steps_from(PyObject* self, CreatedPath& path, Step from) {
    switch (from) {
        case Step::mkdir: {
            Ref parent = getattr(path.object(), Id::parent);
            call_method_kw(parent, Id::mkdir, mkdir_keywords, Py_True, Py_True);
        }
            [[fallthrough]];
        case Step::is_dir:
            if (truth(call_method(path.object(), Id::is_dir))) raise_os_error(EISDIR, path);
            [[fallthrough]];
        case Step::touch:
            call_method_kw(path.object(), Id::touch, touch_keywords, Py_True);
            [[fallthrough]];
        case Step::is_file:
            // touch succeeds on a device (nul, con or aux on Windows,
            // /dev/null), where no file is made.
            if (!truth(call_method(path.object(), Id::is_file))) raise_os_error(EINVAL, path);
            [[fallthrough]];
        case Step::finish:
            finish(self, path);
    }
}

CRENLY_COLD void raise_os_error(int number, CreatedPath& path) {
    // Built from its values, not from errno: on Windows the module's C runtime
    // is not the interpreter's, and the two do not share errno. OSError picks
    // the subclass for the number.
    Ref code = own(PyLong_FromLong(number));
    Ref message = call_method(load_global(Id::os), Id::strerror, code);
    Ref filename = path.text();
    Ref args = own(PyTuple_Pack(3, code.get(), message.get(), filename.get()));
    PyErr_SetObject(PyExc_OSError, args.get());
    throw_python_error();
}

}  // namespace crenly::creation
