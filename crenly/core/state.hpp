// The process-wide state: the interpreter that runs the module and the
// objects of it that every part uses (the module, its namespace, the
// builtins, the fixed constants, the cached builtins), the slots in which
// the parts keep their own objects, and the release of all of it.
#pragma once

#include <cstdint>

#include "crenly/core/ref.hpp"

namespace crenly::core {

/// Everything the module keeps while an interpreter runs it. Built by the
/// exec step under the interpreter lock; read-only afterwards until the
/// interpreter finalises, when release_state() drops it all.
struct State {
    std::int64_t main_interpreter = -1;
    // True from the first exec step of a running interpreter until the state
    // is released at its exit: the objects below belong to that interpreter.
    bool live = false;
    // Calls of the module's functions under way, on any thread (each may let
    // go of the interpreter lock): the state is not released under them.
    std::int64_t calls_running = 0;
    Ref module;      // the module being or having been executed
    Ref namespace_;  // the module dictionary; target of every global store
    Ref builtins;

    Ref empty_tuple, empty_str;
    Ref int0, int1, int2;

    // Cached builtins.
    Ref import_error, print, open, sum;
};

/// The one instance; never destroyed (its objects must not be released after
/// the interpreter has finalised: release_state() drops them before).
extern State& state;

/// Process-wide data that a feature keeps (a cache, a proof), declared at
/// namespace scope beside the code that uses it: every declaration enrols
/// itself when the library is loaded, and release_state() releases them all
/// with the state. Used only under the interpreter lock.
class Slot {
public:
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

protected:
    Slot() noexcept;
    ~Slot() = default;

private:
    friend void release_state();
    /// Drops every Python object the slot holds; it is empty afterwards.
    virtual void release() = 0;

    Slot* next_;  // the enrolment list
};

/// Empties the state (all but the recorded interpreter ID) and then drops
/// every object it held, so that code run by a release sees an empty state;
/// then releases every slot.
void release_state();

}  // namespace crenly::core
