// The one rule of every shortcut the module takes in place of Python code
// (the native road of create_file, brace expansion's own use of re's
// compiled pattern): a shortcut may stand for that code only while the
// objects the code would use are the very objects proved, checked after the
// last point where Python code could have run and before the effect that the
// check licenses. Where a check fails partway, the caller goes on with the
// Python-level steps from there.
//
// A proof is made once (Prover) and kept current cheaply. Every dictionary
// that holds a proved object (module namespaces, the builtins, class
// dictionaries along an MRO) is watched, and so are the code and defaults of
// functions; any change to one of them makes the proofs read their bindings
// again, and a check is then one comparison of a count of changes. The few
// fields that nothing watches (a function's cells, the function inside a
// property, a class's MRO, an object's type) are compared one by one. A function is genuine when
// its code equals the code that its module's own compiled file defines under that qualified name:
// identity after the proof, content before, names never.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "crenly/core/state.hpp"

namespace crenly::core {

/// Thrown while proving: something is not the genuine object.
struct NotGenuine {};

/// Throws NotGenuine unless `condition` holds.
inline void expect(bool condition) {
    if (!condition) throw NotGenuine{};
}

/// Whether a shortcut may stand in for Python code on this thread now: no
/// audit hook, no trace or profile function, no sys.monitoring tool (an
/// observer must see the Python code run), and room below the recursion
/// limit for `frames` nested Python frames (the Python code would otherwise
/// have raised RecursionError). Runs no Python code.
bool shortcuts_allowed(int frames);

/// Whether another thread state of this interpreter exists: only then can
/// Python code run while this thread has let go of the interpreter lock.
bool other_threads() noexcept;

/// Runs `call` (C code that touches no Python object and throws nothing: a
/// system call) as the os functions run theirs, without the interpreter
/// lock when another thread could take it. Taking the lock again may end
/// this thread at the interpreter's exit (an unwind that passes through the
/// caller).
template <class F>
decltype(auto) without_interpreter(F&& call) {
    static_assert(noexcept(call()), "nothing may leave while the lock is let go");
    if (!other_threads()) return call();
    PyThreadState* thread = PyEval_SaveThread();
    auto result = call();
    PyEval_RestoreThread(thread);
    return result;
}

class Prover;

/// What one shortcut stands for, proved genuine once and checked at every
/// use. Declared at namespace scope; released with the module's state.
class Proof final : public Slot {
public:
    /// Records in the prover everything the shortcut stands for; throws
    /// NotGenuine (or PythonError) when something is not genuine.
    using Build = void (*)(Prover&);

    /// `frames`: the deepest nesting of Python frames in the code that the
    /// shortcut stands for.
    Proof(Build build, int frames) noexcept : build_(build), frames_(frames) {}

    /// Whether the shortcut may stand in now, at the last point before its
    /// effect. Proves when there is no proof yet and an attempt is worth
    /// making (from the second use on, so that a single use costs nothing),
    /// and reads the bindings again when a watched dictionary changed: both
    /// may run Python code, after which everything is compared again
    /// without any.
    [[nodiscard]] bool licensed();

    /// Counts a call in which the shortcut was taken (it may have handed
    /// over to the Python-level steps partway).
    void taken() noexcept { ++taken_; }
    /// How many calls took it since the module was loaded.
    [[nodiscard]] std::uint64_t taken_count() const noexcept { return taken_; }

private:
    friend class Prover;

    struct Binding {
        Ref dict;
        Ref key;
        Ref expected;  // empty: the key must be absent
    };
    struct Field {
        Ref owner;  // keeps the object of `slot` alive
        PyObject** slot;
        PyObject* expected;  // held by `held_`
    };

    void release() override;
    void forget() noexcept;
    [[nodiscard]] bool worth_proving() noexcept;
    bool prove();
    void refresh();
    [[nodiscard]] bool current() const noexcept;

    Build build_;
    int frames_;
    bool proved_ = false;
    int busy_ = 0;  // a proof or a reading of the bindings under way (each may run Python code)
    unsigned long uses_ = 0;
    unsigned long failures_ = 0;
    std::uint64_t attempt_changes_ = 0;  // the count of changes at the last attempt to prove
    std::uint64_t read_changes_ = 0;     // ... when the bindings were last read
    bool bindings_right_ = false;
    std::vector<Binding> bindings_;
    std::vector<Field> watched_fields_;  // read again with the bindings
    std::vector<Field> fields_;          // compared at every check
    std::vector<Ref> held_;
    std::uint64_t taken_ = 0;
};

/// Builds a proof: records what must stay as it is found now.
class Prover {
public:
    /// `dict[key]`, which must be there and stay that very object (borrowed;
    /// the proof holds it). The dictionary is watched.
    PyObject* bound(PyObject* dict, const char* key);

    /// `dict[key]` must stay absent. The dictionary is watched.
    void absent(PyObject* dict, const char* key);

    /// `*slot` (a field of `owner`) must stay the object it holds now;
    /// compared at every check.
    void field(PyObject* owner, PyObject** slot);

    /// `o` must keep its type (no `__class__` assignment).
    void keep_type(PyObject* o);

    /// What a lookup of `name` on the class `type` finds from index `start`
    /// of its MRO on (borrowed; the proof holds it); with `must_exist`,
    /// NotGenuine when nothing. The lookup must keep finding that: the MRO
    /// and every class dictionary it reads are held to it.
    PyObject* attribute(PyObject* type, const char* name, std::size_t start = 0,
                        bool must_exist = true);

    /// `f` is the function that `module`'s own code defines as `qualname`,
    /// with the interpreter's builtins: its globals are the module's, its
    /// code equals that code, and its code, defaults and cells must stay.
    /// (The values of its defaults are the table's to check.)
    void function(PyObject* f, PyObject* module, const char* qualname);

    /// The function inside `wrapper`, a staticmethod, classmethod or
    /// property, which must stay.
    PyObject* unwrap(PyObject* wrapper);

    /// Whether `f` is the C function `name` of the C module `module`: an
    /// entry of that module's own method table.
    static bool is_c_function(PyObject* f, const char* module, const char* name);

    /// Keeps `o` alive as long as the proof; returns it (borrowed).
    PyObject* hold(PyObject* o);

private:
    friend class Proof;
    explicit Prover(Proof& proof) noexcept : proof_(proof) {}

    void watch(PyObject* dict);
    /// A field whose every change is reported (a function's code and
    /// defaults): compared when the bindings are read again.
    void watched_field(PyObject* owner, PyObject** slot);

    Proof& proof_;
};

}  // namespace crenly::core
