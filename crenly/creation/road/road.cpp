#include "crenly/creation/road/road.hpp"

#include <cerrno>
#include <climits>
#include <initializer_list>

#include <frameobject.h>

#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/creation/road/path_texts.hpp"
#include "crenly/creation/road/pathlib_proof.hpp"
#include "crenly/creation/road/steps.hpp"
#include "crenly/creation/road/system_calls.hpp"

namespace crenly::creation::road {

using namespace crenly::core;
using namespace crenly::creation::proof;

namespace {

/// Whether another thread state of this interpreter exists: only then can
/// Python code run while this thread has let go of the interpreter lock.
bool other_threads() noexcept {
    PyThreadState* thread = PyThreadState_Get();
    PyThreadState* head = PyInterpreterState_ThreadHead(PyThreadState_GetInterpreter(thread));
    return head != thread || PyThreadState_Next(head) != nullptr;
}

/// Adds to the pending exception the traceback entries of pathlib's code at
/// `calls` (outermost first): the frames an exception raised at the last of
/// them passes through.
void add_entries(const ProvedPathlib& pathlib, std::initializer_list<Call> calls) {
    for (auto call = std::rbegin(calls); call != std::rend(calls); ++call) {
        const CallSite& site = pathlib.calls[static_cast<int>(*call)];
        auto* code = reinterpret_cast<PyCodeObject*>(site.code);
        Ref exception = Ref::steal(PyErr_GetRaisedException());
        Ref frame = own(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), code, site.globals, nullptr)));
        Ref previous = Ref::steal(PyException_GetTraceback(exception.get()));
        Ref entry =
            own(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyTraceBack_Type), "OOii",
                                      previous ? previous.get() : Py_None, frame.get(), site.offset,
                                      PyCode_Addr2Line(code, site.offset)));
        require_status(PyException_SetTraceback(exception.get(), entry.get()));
        PyErr_SetRaisedException(exception.release());
    }
}

/// What the name `name` means in Python code of the namespace `globals`:
/// its global, else the builtin; NameError when neither.
Ref global_in(PyObject* globals, PyObject* name) {
    if (Ref value = dict_get(globals, name)) return value;
    if (Ref value = dict_get(PyModule_GetDict(state.builtins.get()), name)) return value;
    raise(PyExc_NameError, "name '%U' is not defined", name);
}

/// One creation on the native road: the proved pathlib held for it, the
/// texts of the path, and the check of the proof, made again after every
/// point where Python code could have run. The path object is made only
/// when a Python-level step needs it, in the state that pathlib's steps
/// would have left it in at that step.
class Road final : public CreatedPath {
public:
    Road(PyObject* filepath, Texts& texts, Proof& proof)
        : filepath_(filepath),
          t_(texts),
          proof_(proof),
          pathlib_(proved_pathlib()),
          held_(Ref::borrow(pathlib_.objects)) {}

    /// Whether the proof holds now, checked again if Python code may have
    /// run since the last check.
    bool holds() {
        // A proof made afresh meanwhile (by a nested call) may stand for
        // other objects than the ones this creation holds.
        if (!checked_) checked_ = proof_.holds() && proved_pathlib().objects == pathlib_.objects;
        return checked_;
    }

    /// Python code may have run: the next step checks the proof again.
    void python_may_have_run() noexcept { checked_ = false; }

    /// Runs `call` (bare, returning 0 or an error number) as os's functions
    /// run theirs: without the interpreter lock when another thread could
    /// take it, and after an EINTR the signal handlers, then the call again.
    /// A handler's exception leaves from pathlib's code at `calls`.
    template <class F>
    int system(std::initializer_list<Call> calls, F&& call) {
        static_assert(noexcept(call()), "nothing may leave while the lock is let go");
        while (true) {
            int error;
            if (other_threads()) {
                python_may_have_run();
                PyThreadState* thread = PyEval_SaveThread();
                error = call();
                // Taking the lock again may end this thread at the
                // interpreter's exit (an unwind that passes through here).
                PyEval_RestoreThread(thread);
            } else {
                error = call();
            }
            if (error != EINTR) return error;
            python_may_have_run();
            if (PyErr_CheckSignals() < 0) {
                add_entries(pathlib_, calls);
                throw_python_error();
            }
        }
    }

    /// The step the road has reached: the object made for a Python-level
    /// step holds what pathlib's steps hold at its start.
    void reach(Step step) noexcept { reached_ = step; }

    PyObject* object() override {
        if (!object_) object_ = make(filepath_, reached_ >= Step::touch ? t_.text.get() : nullptr);
        return object_.get();
    }

    Ref parent() override {
        // What `parent` makes: the path itself without components, else a
        // path of its own, parsed, with its text.
        if (t_.count == 0) return Ref::borrow(object());
        const Py_ssize_t length = PyUnicode_GET_LENGTH(t_.text.get());
        const Py_ssize_t end =
            t_.count == 1 ? t_.root : PyUnicode_FindChar(t_.text.get(), '/', t_.root, length, -1);
        if (end < 0) throw_python_error();
        Ref text = own(PyUnicode_Substring(t_.text.get(), 0, end));
        Ref shown = Ref::borrow(end > 0 ? text.get() : dot.get());
        Ref raw = own(PyList_New(1));
        PyList_SET_ITEM(raw.get(), 0, Py_NewRef(text.get()));
        return make_object(raw.get(), shown.get(), t_.count - 1);
    }

    // A step before this one may have run Python code (the later steps
    // call out: the clipboard flag, _notify): each text is checked anew.
    // Once the object is made, Python code may have filled its slots: its
    // texts are its own.
    Ref text() override {
        python_may_have_run();
        if (!object_ && holds()) return Ref::borrow(t_.text.get());
        return own(PyObject_Str(object()));
    }

    Ref absolute_text() override {
        python_may_have_run();
        if (!object_ && holds()) {
            // absolute() of a path with a root is the path itself.
            if (t_.root > 0) return Ref::borrow(t_.text.get());
            char cwd[PATH_MAX + 1];
            const int error = system({Call::absolute_getcwd},
                                     [&]() noexcept { return current_directory(cwd, sizeof cwd); });
            // Once os.getcwd has returned, pathlib joins the texts.
            if (error == 0 && holds()) return road::absolute_text(t_, cwd);
        }
        // pathlib's own absolute(), which calls os.getcwd afresh (and
        // raises its error where there is one).
        Ref absolute = call_method(object(), Id::absolute);
        return own(PyObject_Str(absolute.get()));
    }

    const ProvedPathlib& pathlib() const noexcept { return pathlib_; }

private:
    /// A new path object of `filepath` in the state of the step reached:
    /// parsed, and with `text` when given.
    Ref make(PyObject* filepath, PyObject* text) {
        Ref raw = own(PyList_New(1));
        PyList_SET_ITEM(raw.get(), 0, Py_NewRef(filepath));
        return make_object(raw.get(), text, t_.count);
    }

    /// A path object holding `raw`, parsed into the first `count`
    /// components of the road's path, with `text` when given.
    Ref make_object(PyObject* raw, PyObject* text, Py_ssize_t count) {
        PyTypeObject* type = pathlib_.concrete;
        Ref made = own(type->tp_alloc(type, 0));
        Ref root = own(PyUnicode_Substring(t_.text.get(), 0, t_.root));
        Ref tail = own(PyList_New(0));
        if (t_.count > 0) {
            Ref rest = own(
                PyUnicode_Substring(t_.text.get(), t_.root, PyUnicode_GET_LENGTH(t_.text.get())));
            Ref parts = own(PyUnicode_Split(rest.get(), slash.get(), -1));
            tail = own(PyList_GetSlice(parts.get(), 0, count));
        }
        set(made, PathSlot::raw, raw);
        set(made, PathSlot::drive, state.empty_str.get());
        set(made, PathSlot::root, root.get());
        set(made, PathSlot::tail, tail.get());
        if (text != nullptr) set(made, PathSlot::text, text);
        return made;
    }

    void set(const Ref& object, PathSlot slot, PyObject* value) {
        require_status(PyMember_SetOne(reinterpret_cast<char*>(object.get()),
                                       pathlib_.slots[static_cast<int>(slot)], value));
    }

    static inline const Text slash{"/"};
    static inline const Text dot{"."};

    PyObject* filepath_;
    const Texts& t_;
    Proof& proof_;
    const ProvedPathlib pathlib_;
    Ref held_;  // keeps what pathlib_ points to alive
    bool checked_ = false;
    Step reached_ = Step::mkdir;
    Ref object_;
};

/// Whether `error` is one that is_dir() and is_file() take as "no" rather
/// than raise (their _ignore_error).
bool ignored(int error) noexcept {
    return error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP;
}

/// The stat of is_dir() or is_file() (at `calls`): the kind of the file, or
/// FileKind::absent for what they take as "no"; FileKind::error when the
/// error must be raised by the Python-level step. An exception a signal
/// handler raised at the call is caught as they catch it.
FileKind stat_as_pathlib(Road& road, std::initializer_list<Call> calls, const char* path) {
    unsigned mode = 0;
    try {
        const int error = road.system(calls, [&]() noexcept { return stat_mode(path, mode); });
        if (error != 0) return ignored(error) ? FileKind::absent : FileKind::error;
    } catch (const PythonError&) {
        // except OSError as e: if not _ignore_error(e): raise ...
        // except ValueError: return False
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return FileKind::absent;
        }
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
        Ref exception = Ref::steal(PyErr_GetRaisedException());
        Handling handling(Ref::borrow(exception.get()));
        const ProvedPathlib& pathlib = road.pathlib();
        if (truth(call(global_in(pathlib.helpers_globals, pathlib.ignore_error), exception))) {
            return FileKind::absent;
        }
        PyErr_SetRaisedException(exception.release());
        throw_python_error();
    }
    return kind_of(mode);
}

/// `os.close(fd)`, the last statement of Path.touch, at the level of Python
/// code, as it runs once Python code may have replaced what it uses.
void close_in_python(const ProvedPathlib& pathlib, int fd) {
    try {
        const CallSite& site = pathlib.calls[static_cast<int>(Call::touch_close)];
        Ref close =
            own(PyObject_GetAttrString(global_in(site.globals, str(Id::os)).get(), "close"));
        call(close, Ref(own(PyLong_FromLong(fd))));
    } catch (const PythonError&) {
        add_entries(pathlib, {Call::touch_close});
        throw;
    }
}

}  // namespace

std::uint64_t calls() noexcept { return pathlib_proof().taken_count(); }

bool create(PyObject* self, PyObject* filepath) {
    Proof& proof = pathlib_proof();
    if (!PyUnicode_CheckExact(filepath) || !proof.holds()) return false;
    Texts t;
    if (!make_texts(filepath, t)) return false;
    // From here to the first system call no Python code runs: the texts are
    // made by C code, and the path object stands for Path(filepath) now.
    Road road(filepath, t, proof);
    proof.taken();
    // Handlers of signals already pending run where pathlib's steps would
    // run them: at the start of Path(filepath).
    if (PyErr_CheckSignals() < 0) {
        add_entries(road.pathlib(), {Call::new_start});
        throw_python_error();
    }
    road.python_may_have_run();  // the check also collects garbage when due
    auto python_steps_from = [&](Step step) {
        road.reach(step);
        steps_from(self, road, step);
        return true;
    };

    // file_path.parent.mkdir(parents=True, exist_ok=True): made, or there
    // already as a directory. Missing ancestors (pathlib's recursion) are
    // left to pathlib; so is any other failure, which it raises.
    const char* parent = t.parent.c_str();
    if (!road.holds()) return python_steps_from(Step::mkdir);
    int made = 0;
    try {
        made = road.system({Call::mkdir_mkdir}, [&]() noexcept {
            return make_directory(parent, road.pathlib().mkdir_mode);
        });
    } catch (const PythonError&) {
        // A handler's error that mkdir's own handlers take: they end as the
        // mkdir step ends when run again.
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
        PyErr_Clear();
        return python_steps_from(Step::mkdir);
    }
    if (made == ENOENT) return python_steps_from(Step::mkdir);
    if (made != 0) {
        if (!road.holds()) return python_steps_from(Step::mkdir);
        const FileKind kind =
            stat_as_pathlib(road, {Call::mkdir_is_dir, Call::is_dir_stat, Call::stat_stat}, parent);
        if (kind != FileKind::directory) return python_steps_from(Step::mkdir);
    }

    // is_dir(): a directory is refused.
    road.reach(Step::is_dir);
    if (!road.holds()) return python_steps_from(Step::is_dir);
    const FileKind before = stat_as_pathlib(road, {Call::is_dir_stat, Call::stat_stat}, t.file);
    if (before == FileKind::error) return python_steps_from(Step::is_dir);
    if (before == FileKind::directory) raise_os_error(EISDIR, road);

    // touch(exist_ok=True): the times refreshed, else the file made.
    road.reach(Step::touch);
    if (!road.holds()) return python_steps_from(Step::touch);
    int refreshed = 0;
    try {
        refreshed =
            road.system({Call::touch_utime}, [&]() noexcept { return touch_times(t.file); });
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
        PyErr_Clear();  // except OSError: pass
        refreshed = -1;
    }
    if (refreshed != 0) {
        if (!road.holds()) return python_steps_from(Step::touch);
        int fd = -1;
        if (road.system({Call::touch_open}, [&]() noexcept {
                return open_for_writing(t.file, road.pathlib().touch_mode, fd);
            }) != 0) {
            return python_steps_from(Step::touch);
        }
        // os.close(fd), the rest of touch: no second try, as os.close.
        if (!road.holds()) {
            close_in_python(road.pathlib(), fd);
        } else if (const int failed = close_descriptor(fd)) {
            errno = failed;
            PyErr_SetFromErrno(PyExc_OSError);
            add_entries(road.pathlib(), {Call::touch_close});
            throw_python_error();
        }
    }

    // is_file(): a device or another file that is not regular made no file.
    road.reach(Step::is_file);
    if (!road.holds()) return python_steps_from(Step::is_file);
    const FileKind after = stat_as_pathlib(road, {Call::is_file_stat, Call::stat_stat}, t.file);
    if (after == FileKind::error) return python_steps_from(Step::is_file);
    if (after != FileKind::regular) raise_os_error(EINVAL, road);

    return python_steps_from(Step::finish);
}

}  // namespace crenly::creation::road
