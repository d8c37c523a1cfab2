#include "crenly/creation/road/steps.hpp"

#include <cerrno>

#include "crenly/core/console.hpp"
#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/creation/road/standard_streams.hpp"

namespace crenly::creation::road {

using namespace crenly::core;

namespace {

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

Ref CreatedPath::parent() { return getattr(object(), Id::parent); }

Ref CreatedPath::text() { return own(PyObject_Str(object())); }

Ref CreatedPath::absolute_text() {
    Ref absolute = call_method(object(), Id::absolute);
    return own(PyObject_Str(absolute.get()));
}

void steps_from(PyObject* self, CreatedPath& path, Step from) {
    switch (from) {
        case Step::mkdir:
            call_method_kw(path.parent(), Id::mkdir, mkdir_keywords, Py_True, Py_True);
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

}  // namespace crenly::creation::road
