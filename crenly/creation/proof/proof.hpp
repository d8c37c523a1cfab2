// A shortcut (the native road of create_file, brace expansion's own use of
// re) stands for Python code only while a proof holds, checked after the last
// point where Python code could have run and before each effect:
//  - a proof records the objects that code would use, at a count of changes;
//  - dictionary watchers (names read), type watchers (classes and their bases)
//    and function watchers (code, defaults) move that one count;
//  - it holds while the count has not moved, the slots no watcher reports
//    (cells, a wrapper's function, an object's type) are unchanged, and
//    shortcuts_allowed(); once the count moves it is made again at the next
//    use, cheaply (verdicts on code are kept); one that failed, only then.
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
#include <vector>

#include "crenly/core/state.hpp"

namespace crenly::creation::proof {

struct NotGenuine {};  // thrown while proving: something is not the genuine object

/// Throws NotGenuine unless `condition` holds.
inline void expect(bool condition) {
    if (!condition) throw NotGenuine{};
}

/// Whether nothing observes this thread (audit hook, trace or profile
/// function, sys.monitoring tool) and `frames` Python frames fit below the
/// recursion limit. Runs no Python code.
bool shortcuts_allowed(int frames);

class Prover;

/// What one shortcut stands for; declared beside it, released with the state.
class Proof final : public core::Slot {
public:
    /// Records what the shortcut stands for; throws NotGenuine (or PythonError).
    using Build = void (*)(Prover&);
    /// `frames`: the deepest nesting of Python frames the shortcut stands for.
    Proof(Build build, int frames) noexcept : build_(build), frames_(frames) {}

    /// Whether the shortcut may stand in now; proves first when the count
    /// moved since the last attempt (not at the first use: one call costs
    /// nothing), then checks again without running Python code.
    [[nodiscard]] bool holds();
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

    Build build_;
    int frames_;
    std::uint64_t made_at_ = 0;  // the count at the last attempt (0: unused, 1: used once)
    bool proved_ = false;        // whether that attempt succeeded
    std::vector<Kept> kept_;
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
    /// `type`, not abstract, and its bases must keep attributes and bases.
    void watch(PyObject* type);
    /// What a lookup of `name` on the watched class `type` finds from index
    /// `start` of its MRO on; NotGenuine when nothing and `must_exist`.
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

private:
    friend class Proof;
    explicit Prover(std::vector<Proof::Kept>& kept) noexcept : kept_(kept) {}
    /// `dict[key]` or null; the name is watched from now on.
    PyObject* read(PyObject* dict, const char* key);
    /// `*slot`, a field of `owner` that no watcher reports, must stay.
    void slot(PyObject* owner, PyObject** slot);

    std::vector<Proof::Kept>& kept_;
    std::vector<core::Ref> held_;
};

}  // namespace crenly::creation::proof
