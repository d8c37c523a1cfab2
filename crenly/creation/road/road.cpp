#include "crenly/creation/road/road.hpp"

#include <cerrno>
#include <climits>
#include <string_view>

#include <frameobject.h>

#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/creation/road/path_texts.hpp"
#include "crenly/creation/road/pathlib_proof.hpp"
#include "crenly/creation/road/steps.hpp"
#include "crenly/creation/road/system_calls.hpp"

namespace crenly::creation::road {

using namespace crenly::core;

namespace {

/// The licence of the road's stand-ins: the proof checked after the last
/// point where Python code could have run (another thread while this one
/// let go of the interpreter lock, a Python-level step) and before the
/// stand-in.
class Licence {
public:
    explicit Licence(Proof& proof) noexcept : proof_(proof) {}

    /// Whether the next stand-in may be taken.
    bool valid() {
        if (!valid_) valid_ = proof_.licensed();
        return valid_;
    }

    /// Python code may have run: the next stand-in checks again.
    void lapse() noexcept { valid_ = false; }

    /// Runs the system call `call` as the os functions do: without the
    /// interpreter lock when another thread could take it, after which
    /// the licence has lapsed.
    template <class F>
    decltype(auto) system(F&& call) {
        if (other_threads()) lapse();
        return without_interpreter(std::forward<F>(call));
    }

private:
    Proof& proof_;
    bool valid_ = false;
};

/// What the road takes from the proof for one creation, held for it (a
/// nested call may prove afresh meanwhile).
struct Facts {
    explicit Facts(const Pathlib& p)
        : concrete(Ref::borrow(reinterpret_cast<PyObject*>(p.concrete))),
          raw_paths(p.raw_paths),
          mkdir_mode(p.mkdir_mode),
          touch_mode(p.touch_mode),
          pathlib_globals(Ref::borrow(p.pathlib_globals)),
          touch_code(Ref::borrow(p.touch_code)),
          close_call(p.close_call) {}
    Ref concrete;
    PyMemberDef* raw_paths;
    unsigned mkdir_mode;
    unsigned touch_mode;
    Ref pathlib_globals;
    Ref touch_code;
    int close_call;
};

/// The road's path: its texts made here while licensed; the object, made
/// only when a Python-level step needs it, is the one `Path(filepath)` made
/// when the road started (a PosixPath holding [filepath], and nothing else
/// yet).
class RoadPath final : public CreatedPath {
public:
    RoadPath(PyObject* filepath, const Texts& texts, const Facts& facts, Licence& licence) noexcept
        : filepath_(filepath), texts_(texts), facts_(facts), licence_(licence) {}

    PyObject* object() override {
        if (!object_) {
            auto* type = reinterpret_cast<PyTypeObject*>(facts_.concrete.get());
            Ref made = own(type->tp_alloc(type, 0));
            Ref paths = own(PyList_New(1));
            PyList_SET_ITEM(paths.get(), 0, Py_NewRef(filepath_));
            require_status(PyMember_SetOne(reinterpret_cast<char*>(made.get()), facts_.raw_paths,
                                           paths.get()));
            object_ = std::move(made);
        }
        return object_.get();
    }

    // A step before this one may have run Python code (the later steps
    // call out: the clipboard flag, _notify): each text is licensed anew.
    // Once the object is made, Python code may have filled its caches:
    // its texts are its own.
    Ref text() override {
        licence_.lapse();
        if (!object_ && licence_.valid()) return Ref::borrow(texts_.text.get());
        return own(PyObject_Str(object()));
    }

    Ref absolute_text() override {
        licence_.lapse();
        if (!object_ && licence_.valid()) {
            // absolute() of a path with a root is the path itself.
            if (texts_.root > 0) return Ref::borrow(texts_.text.get());
            char cwd[PATH_MAX + 1];
            const bool known =
                licence_.system([&]() noexcept { return current_directory(cwd, sizeof cwd); });
            // Once os.getcwd has returned, pathlib joins the texts.
            if (known && licence_.valid()) return road::absolute_text(texts_, cwd);
        }
        // pathlib's own absolute(), which calls os.getcwd afresh (and
        // raises its error where there is one).
        Ref absolute = call_method(object(), Id::absolute);
        return own(PyObject_Str(absolute.get()));
    }

private:
    PyObject* filepath_;
    const Texts& texts_;
    const Facts& facts_;
    Licence& licence_;
    Ref object_;
};

/// Gives the pending exception, raised inside Path.touch's os.close(fd),
/// that call's traceback entry: pathlib's own frame at that line.
void add_close_entry(const Facts& facts) {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    Ref frame = own(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(facts.touch_code.get()),
                    facts.pathlib_globals.get(), nullptr)));
    const int line =
        PyCode_Addr2Line(reinterpret_cast<PyCodeObject*>(facts.touch_code.get()), facts.close_call);
    Ref previous = Ref::steal(PyException_GetTraceback(exception.get()));
    Ref entry = own(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyTraceBack_Type), "OOii",
                                          previous ? previous.get() : Py_None, frame.get(),
                                          facts.close_call, line));
    require_status(PyException_SetTraceback(exception.get(), entry.get()));
    PyErr_SetRaisedException(exception.release());
}

/// `os.close(fd)`, the last statement of Path.touch, at the level of Python
/// code: os looked up in pathlib's namespace (then the builtins).
void close_in_python(const Facts& facts, int fd) {
    try {
        Ref os = dict_get(facts.pathlib_globals.get(), str(Id::os));
        if (!os) os = dict_get(PyModule_GetDict(state.builtins.get()), str(Id::os));
        if (!os) raise(PyExc_NameError, "name '%U' is not defined", str(Id::os));
        Ref close = own(PyObject_GetAttrString(os.get(), "close"));
        Ref descriptor = own(PyLong_FromLong(fd));
        call(close, descriptor);
    } catch (const PythonError&) {
        add_close_entry(facts);
        throw;
    }
}

}  // namespace

Proof* proof() noexcept { return pathlib_proof(); }

bool create(PyObject* self, PyObject* filepath) {
    Proof* proof = pathlib_proof();
    if (!PyUnicode_CheckExact(filepath)) return false;
    // Pending signals: the Python-level steps would run their handlers at
    // their first instruction.
    if (PyErr_CheckSignals() < 0) throw_python_error();
    Licence licence(*proof);
    if (!licence.valid()) return false;
    // From here to the first system call no Python code runs: the texts are
    // made by C code, and the path object stands for Path(filepath) now.
    const Facts facts(pathlib());
    Texts t;
    if (!make_texts(filepath, t)) return false;
    proof->taken();
    RoadPath path(filepath, t, facts, licence);
    auto hand_over = [&](Step from) {
        steps_from(self, path, from);
        return true;
    };

    // file_path.parent.mkdir(parents=True, exist_ok=True): made, or there
    // already as a directory. Missing ancestors (pathlib's recursion) are
    // left to pathlib; so is any other failure, which it raises.
    const char* parent = t.parent.c_str();
    const int made =
        licence.system([&]() noexcept { return make_directory(parent, facts.mkdir_mode); });
    if (made != 0) {
        if (made == ENOENT || !licence.valid()) return hand_over(Step::mkdir);
        if (licence.system([&]() noexcept { return stat_kind(parent); }) != FileKind::directory) {
            return hand_over(Step::mkdir);
        }
    }

    // is_dir(): a directory is refused.
    if (!licence.valid()) return hand_over(Step::is_dir);
    const FileKind before = licence.system([&]() noexcept { return stat_kind(t.file); });
    if (before == FileKind::error) return hand_over(Step::is_dir);
    if (before == FileKind::directory) raise_os_error(EISDIR, path);

    // touch(exist_ok=True): the times refreshed, else the file made.
    if (!licence.valid()) return hand_over(Step::touch);
    if (licence.system([&]() noexcept { return touch_times(t.file); }) != 0) {
        if (!licence.valid()) return hand_over(Step::touch);
        int error = 0;
        const int fd = licence.system(
            [&]() noexcept { return open_for_writing(t.file, facts.touch_mode, error); });
        if (fd < 0) return hand_over(Step::touch);
        // os.close(fd), the rest of touch.
        if (!licence.valid()) {
            close_in_python(facts, fd);
        } else if (const int failed =
                       licence.system([&]() noexcept { return close_descriptor(fd); })) {
            errno = failed;
            PyErr_SetFromErrno(PyExc_OSError);
            add_close_entry(facts);
            throw_python_error();
        }
    }

    // is_file(): a device or another file that is not regular made no file.
    if (!licence.valid()) return hand_over(Step::is_file);
    const FileKind after = licence.system([&]() noexcept { return stat_kind(t.file); });
    if (after == FileKind::error) return hand_over(Step::is_file);
    if (after != FileKind::regular) raise_os_error(EINVAL, path);

    return hand_over(Step::finish);
}

}  // namespace crenly::creation::road
