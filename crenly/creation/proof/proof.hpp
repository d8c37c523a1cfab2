// A shortcut (the native road of create_file, brace expansion's own use of
// re) stands for Python code only while a proof holds, checked after the last
// point where Python code could have run and before each effect:
//  - a proof records the objects that code would use, at a count of changes;
//  - a dictionary watcher (names read, in module, class and keyword-default
//    dictionaries) and a function watcher (code, defaults of the functions
//    proved) move that one count; an event about anything else moves nothing;
//  - a proof is made only while it holds both watchers, and commits only when
//    the count has not moved since it began and no other proof of the same
//    shortcut began meanwhile (its Python code may switch threads);
//  - it holds while the count has not moved, the slots no watcher reports
//    (cells, a wrapper's function, an object's type, a class's MRO) are
//    unchanged, and shortcuts_allowed(); once the count moves it is made
//    again at the next use, cheaply (verdicts on code are kept);
//  - a proof that failed, or that stood fewer calls than the current wait,
//    doubles the wait (up to a cap) before the next attempt: a program that
//    keeps changing what a proof stands on pays for few proofs.
// Where a check fails partway, the Python-level steps take over in the state
// they would have. The result is theirs under any patch, thread interleaving,
// signal, collection or observer: the same files, printed lines, exceptions
// (type, arguments, message, traceback entries), return values and calls of
// every function the user can see or has patched. Not promised: when a
// garbage collection runs, sys.intern identity, how brace expansion finds the
// matches after the first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_set>
#include <vector>

#include "crenly/core/state.hpp"
#include "crenly/creation/proof/observers.hpp"

namespace crenly::creation::proof {

struct NotGenuine {};  // thrown while proving: something is not the genuine object

/// Throws NotGenuine unless `condition` holds (as require() throws
/// PythonError for a failed C-API call).
inline void require_genuine(bool condition) {
    if (!condition) throw NotGenuine{};
}

/// A number that changes whenever `dict` changes (from its first use on);
/// no two dictionaries ever share one. For a dictionary that changes too
/// often to be proved (a cache), read before and after looking at it.
std::uint64_t stamp(PyObject* dict);

class Prover;

/// What one shortcut stands for; declared beside it, released with the state.
class Proof final : public core::Slot {
public:
    /// Records what the shortcut stands for; throws NotGenuine (or PythonError).
    using Build = void (*)(Prover&);
    /// `frames`: the deepest nesting of Python frames the shortcut stands for.
    Proof(Build build, int frames) noexcept : build_(build), frames_(frames) {}

    /// At the start of a call: whether the shortcut may stand in. Proves
    /// first when no proof stands and the wait has passed (not at the first
    /// use: one call costs nothing), then checks without running Python code.
    [[nodiscard]] bool holds();
    /// Later in the same call, once Python code may have run: whether the
    /// proof found by holds() still stands. Never proves, runs no Python code.
    [[nodiscard]] bool still_holds() const;
    /// Counts a call that took the shortcut, and tells how many did.
    void taken() noexcept { ++taken_; }
    [[nodiscard]] std::uint64_t taken_count() const noexcept { return taken_; }

private:
    friend class Prover;
    /// An object kept alive; with `slot`, a field of `owner` that must hold it.
    struct Kept {
        core::Ref owner;
        PyObject** slot;
        core::Ref expected;
    };

    void release() override;
    void prove();
    /// Whether a proof made stands: the count has not moved, no local
    /// events are set on the code it runs, and every kept slot is the same.
    [[nodiscard]] bool stands() const noexcept;
    /// Doubles the wait, to at least `least` uses.
    void back_off(std::uint32_t least) noexcept;

    Build build_;
    int frames_;
    std::uint64_t made_at_ = 0;   // the count the standing proof was made at; 0: none stands
    std::uint64_t tried_at_ = 0;  // the count at the last failed attempt
    std::uint64_t begun_ = 0;     // attempts begun: a later one voids an earlier one's commit
    std::uint32_t wait_ = 0;      // uses to let pass after an attempt before the next one
    std::uint32_t uses_ = 0;      // uses since the last attempt (the first use: none yet)
    bool used_ = false;
    std::vector<Kept> kept_;
    std::vector<PyCodeObject*> codes_;  // the code the steps run (kept alive by kept_)
    std::uint64_t taken_ = 0;
};

/// Records what must stay as it is now. The objects it returns are borrowed:
/// held while the proof is made, alive as long as it holds.
class Prover {
public:
    /// `dict[key]`, which must be there and stay.
    PyObject* bound(PyObject* dict, const char* key);
    /// `dict[key]` must stay absent.
    void absent(PyObject* dict, const char* key);
    /// `o` must keep its type (no `__class__` assignment).
    void keep_type(PyObject* o) { slot(o, reinterpret_cast<PyObject**>(&o->ob_type)); }
    /// `type`, not abstract, must stay so and keep its MRO.
    void watch(PyObject* type);
    /// What a lookup of `name` on `type` finds from index `start` of its MRO
    /// on, which must stay; NotGenuine when nothing and `must_exist`.
    PyObject* attribute(PyObject* type, const char* name, std::size_t start = 0,
                        bool must_exist = true);
    /// `f` is what `module`'s own compiled file defines as `qualname`, with
    /// its globals and the builtins; its code, defaults and cells must stay.
    void function(PyObject* f, PyObject* module, const char* qualname);
    /// The function inside `wrapper` (staticmethod, classmethod, property).
    PyObject* unwrap(PyObject* wrapper);
    /// Whether `f` is the C function `name` of its C module `module`.
    static bool is_c_function(PyObject* f, const char* module, const char* name);
    /// Keeps `o`, which no proved name reaches, alive as long as the proof;
    /// holds it while the proof is made.
    PyObject* keep(PyObject* o);
    PyObject* hold(PyObject* o);
    /// Runs `commit` (which makes what was found current) only if the proof
    /// commits: nothing found may be used before.
    void on_commit(std::function<void()> commit) { commit_ = std::move(commit); }

private:
    friend class Proof;
    Prover(std::vector<Proof::Kept>& kept, std::vector<PyCodeObject*>& codes) noexcept
        : kept_(kept), codes_(codes) {}
    /// `dict[key]` or null; the name is watched from now on.
    PyObject* read(PyObject* dict, const char* key);
    PyObject* read(PyObject* dict, PyObject* key);
    /// `*slot`, a field of `owner` that no watcher reports, must stay.
    void slot(PyObject* owner, PyObject** slot);
    /// Records `code` and the code nested in it as run by the steps.
    void runs(PyObject* code);

    std::vector<Proof::Kept>& kept_;
    std::vector<PyCodeObject*>& codes_;
    std::vector<core::Ref> held_;
    std::unordered_set<PyObject*> watched_;  // the types watch() has seen
    std::function<void()> commit_;
};

}  // namespace crenly::creation::proof
