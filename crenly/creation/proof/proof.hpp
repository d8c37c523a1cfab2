// The one rule of every shortcut that stands for Python code (the native
// road of create_file, brace expansion's direct use of re's compiled pattern).
//
// A proof records the very objects that the Python code would use. It holds
// while (1) the count of watched changes has not moved since it was made:
// dictionary watchers (the proved names of namespaces), type watchers (the
// attributes, bases and abstract methods of the proved classes) and function
// watchers (code and defaults) all advance that one count; (2) the few slots
// that no watcher reports are unchanged: a function's cells, the function
// inside a staticmethod, classmethod or property, an object's type; and
// (3) shortcuts_allowed(). When the count moves, the proof is made again at
// the next use (cheap: the verdict on each code object is kept); a proof
// that failed is not tried again until the count moves.
//
// The check runs after the last point where Python code could have run and
// before the effect it permits; where it fails partway, the Python-level
// steps take over from there, with the objects in the state those steps
// would have left them in. The shortcut then gives what the Python-level
// steps give under any patch, thread interleaving, signal, collection or
// observer: the same files, printed lines, exceptions (type, arguments,
// message, traceback entries), return values, and calls of every function
// the user can see or has patched. Not promised: when a garbage collection
// runs, sys.intern identity, and how brace expansion finds the matches after
// the first (only the first search goes through the module global re).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "crenly/core/state.hpp"

namespace crenly::creation::proof {

/// Thrown while proving: something is not the genuine object.
struct NotGenuine {};

/// Throws NotGenuine unless `condition` holds.
inline void expect(bool condition) {
    if (!condition) throw NotGenuine{};
}

/// Whether a shortcut may stand in for Python code on this thread now: no
/// audit hook, no trace or profile function, no sys.monitoring tool (an
/// observer must see the Python code run), and room below the recursion
/// limit for `frames` nested Python frames. Runs no Python code.
bool shortcuts_allowed(int frames);

class Prover;

/// What one shortcut stands for. Declared at namespace scope beside the
/// shortcut; released with the module's state.
class Proof final : public core::Slot {
public:
    /// Records in the prover everything the shortcut stands for; throws
    /// NotGenuine (or PythonError) when something is not genuine.
    using Build = void (*)(Prover&);

    /// `frames`: the deepest nesting of Python frames in the code that the
    /// shortcut stands for.
    Proof(Build build, int frames) noexcept : build_(build), frames_(frames) {}

    /// Whether the shortcut may stand in now. Proves first when the count
    /// of changes moved since the last attempt (not at the first use, so
    /// that a single call costs nothing); proving may run Python code, after
    /// which everything is checked again without any.
    [[nodiscard]] bool holds();

    /// Counts a call that took the shortcut (it may have handed over to the
    /// Python-level steps partway).
    void taken() noexcept { ++taken_; }
    [[nodiscard]] std::uint64_t taken_count() const noexcept { return taken_; }

private:
    friend class Prover;

    /// An object the proof keeps alive; with `slot`, a field of `owner`
    /// that must keep holding it.
    struct Kept {
        core::Ref owner;
        PyObject** slot;
        core::Ref expected;
    };

    void release() override;
    void prove();

    Build build_;
    int frames_;
    std::uint64_t made_at_ = 0;  // the count of changes at the last attempt
    bool proved_ = false;        // whether that attempt succeeded
    std::vector<Kept> kept_;
    std::uint64_t taken_ = 0;
};

/// Records what must stay as it is found now.
class Prover {
public:
    /// `dict[key]`, which must be there and stay (borrowed; held while the
    /// proof is made, and alive afterwards as long as it holds).
    PyObject* bound(PyObject* dict, const char* key);

    /// `dict[key]` must stay absent.
    void absent(PyObject* dict, const char* key);

    /// `o` must keep its type (no `__class__` assignment).
    void keep_type(PyObject* o);

    /// What a lookup of `name` on the class `type` finds from index `start`
    /// of its MRO on (borrowed, as for bound()); with `must_exist`, NotGenuine when
    /// nothing. The class is watched, and with it its bases.
    PyObject* attribute(PyObject* type, const char* name, std::size_t start = 0,
                        bool must_exist = true);

    /// `type` is watched: its attributes, bases and abstract methods, and
    /// those of its bases, must stay; it must not be abstract.
    void watch(PyObject* type);

    /// `f` is the function that `module`'s own code defines as `qualname`,
    /// with the interpreter's builtins: its globals are the module's, its
    /// code equals that code, and its code, defaults and cells must stay.
    void function(PyObject* f, PyObject* module, const char* qualname);

    /// The function inside `wrapper`, a staticmethod, classmethod or
    /// property, which must stay.
    PyObject* unwrap(PyObject* wrapper);

    /// Whether `f` is the C function `name` of the C module `module`: an
    /// entry of that module's own method table.
    static bool is_c_function(PyObject* f, const char* module, const char* name);

    /// Keeps `o`, reached by no proved name, alive as long as the proof;
    /// returns it (borrowed).
    PyObject* keep(PyObject* o);

    /// Holds `o` while the proof is made; returns it (borrowed).
    PyObject* hold(PyObject* o);

private:
    friend class Proof;
    explicit Prover(std::vector<Proof::Kept>& kept) noexcept : kept_(kept) {}

    /// `dict[key]` (borrowed) or null; the name is watched from now on.
    PyObject* read(PyObject* dict, const char* key);
    /// `*slot`, a field of `owner` that no watcher reports, must stay.
    void slot(PyObject* owner, PyObject** slot);

    std::vector<Proof::Kept>& kept_;
    std::vector<core::Ref> held_;
};

}  // namespace crenly::creation::proof
