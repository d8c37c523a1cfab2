#include "crenly/creation/road/road.hpp"

#include <fcntl.h>
#include <frameobject.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <initializer_list>

#include "crenly/core/errors.hpp"
#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/creation/road/path_texts.hpp"
#include "crenly/creation/road/pathlib_proof.hpp"
#include "crenly/creation/road/steps.hpp"

namespace crenly::creation::road {

using namespace crenly::core;
using namespace crenly::creation::proof;

namespace {

using Calls = std::initializer_list<Call>;

/// Adds to the pending exception pathlib's traceback entries at `calls`
/// (outermost first, each down its own path): the frames an exception
/// raised at the last passes.
void add_entries(const ProvedPathlib& pathlib, Calls calls) noexcept {
    for (auto call = std::rbegin(calls); call != std::rend(calls); ++call) {
        const CallPath& path = pathlib.calls[static_cast<int>(*call)];
        for (int i = path.count - 1; i >= 0; --i) {
            const CallSite& site = path.sites[i];
            add_entry(reinterpret_cast<PyCodeObject*>(site.code), site.globals, site.offset);
        }
    }
}

/// One creation on the native road: the proved pathlib held for it, the
/// texts of the path, and the proof, checked again after every point where
/// Python code could have run. The path objects are made only when a
/// Python-level step needs them, in the state pathlib's steps would have
/// left them in at that step.
class Road final : public CreatedPath {
public:
    Road(PyObject* filepath, const Texts& texts, Proof& proof)
        : pathlib(proved_pathlib()), filepath_(filepath), texts_(texts), proof_(proof) {}

    const ProvedPathlib pathlib;

    /// Whether the proof holds, checked again when Python code may have run.
    bool holds() {
        // A proof made afresh by a nested call may stand for other objects.
        if (!checked_) {
            checked_ = proof_.still_holds() && proved_pathlib().objects == pathlib.objects;
        }
        return checked_;
    }

    /// Python code may have run: the next step checks the proof again.
    void python_may_have_run() noexcept { checked_ = false; }

    /// Runs the system call `call` (true when it succeeded) as os's functions
    /// run theirs: without the interpreter lock when another thread could
    /// take it; after EINTR the signal handlers, then the call again. Returns
    /// 0 or the error number; a handler's exception leaves from pathlib's
    /// code at `calls`, but -1 for an OSError that an `except OSError` of
    /// the step around the call takes (`os_error_taken`).
    template <class F>
    int syscall(Calls calls, F&& call, bool os_error_taken = false) {
        static_assert(noexcept(call()), "nothing may leave while the lock is let go");
        while (true) {
            PyThreadState* head = PyInterpreterState_ThreadHead(PyInterpreterState_Get());
            const bool alone = head == PyThreadState_Get() && PyThreadState_Next(head) == nullptr;
            int error;
            if (alone) {
                error = call() ? 0 : errno;
            } else {
                python_may_have_run();
                PyThreadState* thread = PyEval_SaveThread();
                error = call() ? 0 : errno;
                // Taking the lock again may end this thread at the
                // interpreter's exit (an unwind that passes through here).
                PyEval_RestoreThread(thread);
            }
            if (error != EINTR) return error;
            python_may_have_run();
            if (PyErr_CheckSignals() < 0) {
                if (os_error_taken && PyErr_ExceptionMatches(PyExc_OSError)) {
                    return PyErr_Clear(), -1;
                }
                add_entries(pathlib, calls);
                throw_python_error();
            }
        }
    }

    /// The step reached: its objects hold what they hold at its start.
    void reach(Step step) noexcept { reached_ = step; }
    [[nodiscard]] Step reached() const noexcept { return reached_; }

    PyObject* object() override {
        if (!object_) {
            object_ = make(filepath_, texts_.count,
                           reached_ >= Step::touch ? texts_.text.get() : nullptr);
        }
        return object_.get();
    }

    Ref parent() override {
        // The path itself when it has no component, else one without its last.
        if (texts_.count == 0) return Ref::borrow(object());
        const Py_ssize_t end =
            texts_.count == 1 ? texts_.root
                              : PyUnicode_FindChar(texts_.text.get(), '/', texts_.root,
                                                   PyUnicode_GET_LENGTH(texts_.text.get()), -1);
        Ref text = own(PyUnicode_Substring(texts_.text.get(), 0, end));
        return make(text.get(), texts_.count - 1, end > 0 ? text.get() : dot.get());
    }

    // The later steps call out (the clipboard flag, _notify): each text is
    // checked anew. Once the object is made, its texts are its own.
    Ref text() override {
        python_may_have_run();
        if (!object_ && holds()) return Ref::borrow(texts_.text.get());
        return CreatedPath::text();
    }

    Ref absolute_text() override {
        python_may_have_run();
        if (!object_ && holds()) {
            if (texts_.root > 0) return Ref::borrow(texts_.text.get());  // absolute already
            char cwd[PATH_MAX + 1];
            const int error = syscall({Call::absolute_os_getcwd}, [&]() noexcept {
                return getcwd(cwd, sizeof cwd) != nullptr;
            });
            // Once os.getcwd has returned, pathlib joins the texts.
            if (error == 0 && holds()) return road::absolute_text(texts_, cwd);
        }
        return CreatedPath::absolute_text();  // os.getcwd afresh, raising its error
    }

private:
    /// A path object of the text `raw`, parsed into the first `count`
    /// components of the road's path, with its text `text` when given.
    Ref make(PyObject* raw, Py_ssize_t count, PyObject* text) {
        Ref made = own(pathlib.concrete->tp_alloc(pathlib.concrete, 0));
        Ref raws = own(PyList_New(1));
        PyList_SET_ITEM(raws.get(), 0, Py_NewRef(raw));
        Ref root = own(PyUnicode_Substring(texts_.text.get(), 0, texts_.root));
        Ref rest = own(PyUnicode_Substring(texts_.text.get(), texts_.root, PY_SSIZE_T_MAX));
        Ref parts =
            own(texts_.count > 0 ? PyUnicode_Split(rest.get(), slash.get(), -1) : PyList_New(0));
        Ref tail = own(PyList_GetSlice(parts.get(), 0, count));
        PyObject* const values[] = {raws.get(), state.empty_str.get(), root.get(), tail.get(),
                                    text};
        for (int slot = 0; slot < static_cast<int>(PathSlot::count_); ++slot) {
            if (values[slot] == nullptr) continue;
            require_status(PyMember_SetOne(reinterpret_cast<char*>(made.get()), pathlib.slots[slot],
                                           values[slot]));
        }
        return made;
    }

    static inline const Text slash{"/"};
    static inline const Text dot{"."};

    PyObject* filepath_;
    const Texts& texts_;
    Proof& proof_;
    Ref held_ = Ref::borrow(pathlib.objects);  // keeps what `pathlib` points to alive
    bool checked_ = true;  // made right after the proof held, before any Python code
    Step reached_ = Step::mkdir;
    Ref object_;
};

/// What is_dir() and is_file() learn of a file: its kind, `absent` for an
/// error they take as "no" (where an error filter decides, those of its
/// _IGNORED_ERRNOS), `error` for one they raise.
enum class FileKind { directory, regular, other, absent, error };

/// The stat of is_dir() or is_file() (at `calls`), following links. A
/// signal handler's exception is taken as their own except clauses take it.
FileKind stat_as_pathlib(Road& road, Calls calls, const char* path) {
    struct stat st {};
    const bool filtered = road.pathlib.ignore_error != nullptr;
    try {
        const int error = road.syscall(calls, [&]() noexcept { return stat(path, &st) == 0; });
        if (error != 0 && (!filtered || error == ENOENT || error == ENOTDIR || error == EBADF ||
                           error == ELOOP)) {
            return FileKind::absent;
        }
        return error != 0            ? FileKind::error
               : S_ISDIR(st.st_mode) ? FileKind::directory
               : S_ISREG(st.st_mode) ? FileKind::regular
                                     : FileKind::other;
    } catch (const PythonError&) {
        // except OSError as e: if not _ignore_error(e): raise ...; except ValueError: ...
        // or, without the filter, except (OSError, ValueError): return False.
        if (PyErr_ExceptionMatches(PyExc_ValueError)) return PyErr_Clear(), FileKind::absent;
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
        if (!filtered) return PyErr_Clear(), FileKind::absent;
        Ref exception = Ref::steal(PyErr_GetRaisedException());
        Handling handling(Ref::borrow(exception.get()));
        Ref filter = load_global_in(road.pathlib.helpers_globals, road.pathlib.ignore_error);
        if (truth(call(filter, exception))) return FileKind::absent;
        PyErr_SetRaisedException(exception.release());
        throw;
    }
}

/// `os.close(fd)`, the last statement of Path.touch, at the level of Python
/// code, as it runs once Python code may have replaced what it uses.
void close_in_python(const ProvedPathlib& pathlib, int fd) {
    try {
        PyObject* globals = pathlib.calls[static_cast<int>(Call::touch_os_close)].sites[0].globals;
        Ref close =
            own(PyObject_GetAttrString(load_global_in(globals, str(Id::os)).get(), "close"));
        call(close, Ref(own(PyLong_FromLong(fd))));
    } catch (const PythonError&) {
        add_entries(pathlib, {Call::touch_os_close});
        throw;
    }
}

}  // namespace

std::uint64_t calls() noexcept { return pathlib_proof().taken_count(); }

bool create(PyObject* self, PyObject* filepath) {
    Proof& proof = pathlib_proof();
    Texts t;
    if (!proof.holds() || !make_texts(filepath, t)) return false;
    // From here to the first system call no Python code runs: the texts are
    // made by C code, and the path object stands for Path(filepath) now.
    Road road(filepath, t, proof);
    proof.taken();
    // The Python-level steps from the step reached on.
    auto python_steps = [&] { return steps_from(self, road, road.reached()), true; };

    // file_path.parent.mkdir(parents=True, exist_ok=True): made, or there
    // already as a directory. Missing ancestors (pathlib's recursion), a
    // failure, and a handler's OSError that mkdir takes are left to pathlib.
    const char* parent = t.parent.c_str();
    if (!road.holds()) return python_steps();
    const int made = road.syscall(
        {Call::mkdir_os_mkdir},
        [&]() noexcept { return mkdir(parent, static_cast<mode_t>(road.pathlib.mkdir_mode)) == 0; },
        /*os_error_taken=*/true);
    if (made != 0 && (made == ENOENT || made < 0 || !road.holds() ||
                      stat_as_pathlib(road, {Call::mkdir_is_dir, Call::is_dir_os_stat}, parent) !=
                          FileKind::directory)) {
        return python_steps();
    }

    // is_dir(): a directory is refused.
    road.reach(Step::is_dir);
    if (!road.holds()) return python_steps();
    const FileKind before = stat_as_pathlib(road, {Call::is_dir_os_stat}, t.file);
    if (before == FileKind::error) return python_steps();
    if (before == FileKind::directory) raise_os_error(EISDIR, road);

    // touch(exist_ok=True): the times refreshed (a failure, or a handler's
    // OSError, passes), else the file made and closed.
    road.reach(Step::touch);
    if (!road.holds()) return python_steps();
    const int refreshed = road.syscall(
        {Call::touch_os_utime},
        [&]() noexcept {
            return utimensat(AT_FDCWD, t.file, nullptr, 0) == 0;  // now, following links
        },
        /*os_error_taken=*/true);
    if (refreshed != 0) {
        int fd = -1;
        if (!road.holds() || road.syscall({Call::touch_os_open}, [&]() noexcept {
                fd = open(t.file, O_CREAT | O_WRONLY | O_CLOEXEC,
                          static_cast<mode_t>(road.pathlib.touch_mode));
                return fd >= 0;
            }) != 0) {
            return python_steps();
        }
        if (!road.holds()) {
            close_in_python(road.pathlib, fd);
        } else if (close(fd) != 0) {  // closed whatever it returns: as os.close, no second try
            PyErr_SetFromErrno(PyExc_OSError);
            add_entries(road.pathlib, {Call::touch_os_close});
            throw_python_error();
        }
    }

    // is_file(): a device or another file that is not regular made no file.
    road.reach(Step::is_file);
    if (!road.holds()) return python_steps();
    const FileKind after = stat_as_pathlib(road, {Call::is_file_os_stat}, t.file);
    if (after == FileKind::error) return python_steps();
    // Back in create_file once is_file() has returned, where the handlers of
    // the signals that came during the steps run, as if they came meanwhile
    // (the check may also collect).
    road.python_may_have_run();
    if (PyErr_CheckSignals() < 0) throw_python_error();
    if (after != FileKind::regular) raise_os_error(EINVAL, road);

    road.reach(Step::finish);
    return python_steps();
}

}  // namespace crenly::creation::road
