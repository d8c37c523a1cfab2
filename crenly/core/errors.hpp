// Error handling between C++ and the interpreter: a marker exception for a
// pending Python error, helpers that raise it, the guard of every entry
// point, and the `except Exception` idiom.
#pragma once

#include "crenly/core/ref.hpp"

#if defined(__GLIBC__)
#include <cxxabi.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define CRENLY_COLD __attribute__((cold, noinline))
#else
#define CRENLY_COLD
#endif

// What an entry point that the interpreter calls, and that may run Python
// code, declares about exceptions: noexcept, but not under glibc. glibc ends a
// thread by unwinding its stack (abi::__forced_unwind): the interpreter's
// finalization ends a daemon thread so when it asks for the interpreter lock
// again, also from inside such a function. A noexcept frame would turn that
// unwind into std::terminate; every other exception is still caught by the
// entry point's guard.
#if defined(__GLIBC__)
#define CRENLY_NOEXCEPT_BUT_FORCED_UNWIND
#else
#define CRENLY_NOEXCEPT_BUT_FORCED_UNWIND noexcept
#endif

// Leaves a function out of UndefinedBehaviorSanitizer's checks: the guard
// that lets that unwind pass. Its `catch (abi::__forced_unwind&)` binds a
// reference to no object (the unwind carries none), which the sanitizer
// reports; the bodies that the guard runs are still checked.
#if defined(__GLIBC__) && (defined(__GNUC__) || defined(__clang__))
#define CRENLY_NO_SANITIZE_UNDEFINED __attribute__((no_sanitize("undefined")))
#else
#define CRENLY_NO_SANITIZE_UNDEFINED
#endif

namespace crenly::core {

/// Thrown after a C-API call failed: the Python error is already set.
/// It carries nothing; the interpreter's error indicator is the payload.
struct PythonError {};

/// Throws PythonError (cold path, kept out of line). A Python error must be
/// set; a call that failed without setting one is a fault of the module,
/// reported as SystemError (and stopped at in a debug build).
[[noreturn]] CRENLY_COLD void throw_python_error();

/// Returns a borrowed result, or throws when it is null.
inline PyObject* require(PyObject* p) {
    if (p == nullptr) throw_python_error();
    return p;
}

/// Takes ownership of a new reference, or throws when it is null.
inline Ref own(PyObject* p) {
    if (p == nullptr) throw_python_error();
    return Ref::steal(p);
}

/// Checks a C-API status result (negative means failure) and returns it.
inline int require_status(int status) {
    if (status < 0) throw_python_error();
    return status;
}

/// Sets a Python error from a printf-style format (PyErr_Format rules) and throws.
[[noreturn]] CRENLY_COLD void raise(PyObject* type, const char* format, ...);

/// Turns the C++ exception being handled into a Python error. Call only
/// inside a catch block, never for a forced unwind; never throws.
void set_error_from_current_exception() noexcept;

/// Sets SystemError when a PythonError marker arrived with no error set.
void ensure_error_set() noexcept;

/// Runs `body` for an interpreter entry point and returns its result, or
/// `failed` with a Python error set when it fails in any way. The unwind of
/// a thread that the C library ends passes through untouched.
template <class R, class F>
CRENLY_NO_SANITIZE_UNDEFINED R guarded(F&& body, R failed) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    try {
        return body();
    } catch (const PythonError&) {
        // The common failure: the error is set already (caught here rather
        // than classified by rethrowing, which costs far more).
        ensure_error_set();
        return failed;
#if defined(__GLIBC__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        set_error_from_current_exception();
        return failed;
    }
}

/// `body` returning Ref: a new reference on success, null on failure.
template <class F>
PyObject* guard_object(F&& body) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    return guarded<PyObject*>([&] { return body().release(); }, nullptr);
}

/// `body` returning nothing: 0 on success, -1 on failure.
template <class F>
int guard_status(F&& body) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    return guarded<int>([&] { return body(), 0; }, -1);
}

// ---- Traceback entries
//
// An exception that leaves one of the module's functions, or that its own
// handlers catch, gains the entry "crenly.crenly.<qualname>" of that
// function: one frame, made when the module loads and shared by every entry
// it heads (a traceback reads only a frame's code, globals and line, so
// sharing is not visible). The function type says which function runs.

/// While alive, the function of the module under way on this thread: its
/// entry's frame, and that of the code nested in it (main's generator
/// expression) or null. Scopes nest as the calls do.
class EntryScope {
public:
    EntryScope(PyObject* frame, PyObject* inner) noexcept;
    ~EntryScope();
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;

private:
    PyObject* previous_frame_;
    PyObject* previous_inner_;
};

/// Adds to the pending exception the traceback entry of `frame`, at the
/// instruction `offset` of its code, or at its first line when -1. The one
/// way an entry is made: a failure to make it (no memory) leaves the pending
/// exception as it was, the original error rather than the failure.
void add_entry(PyObject* frame, int offset = -1) noexcept;

/// The same, with a frame made for `code` run with `globals`.
void add_entry(PyCodeObject* code, PyObject* globals, int offset = -1) noexcept;

/// Adds to the pending exception the entry of the code nested in the
/// function under way (see EntryScope); nothing outside one.
void add_inner_entry() noexcept;

/// The first half of `except <type>:` for a pending error: when it is an
/// instance of `type`, takes it off the error indicator (with the entry of
/// the function under way, as Python's own handlers see it) and returns it;
/// otherwise leaves it pending and throws PythonError again.
Ref catch_pending(PyObject* type);

/// The body of an `except` block: while alive, `exception` is the handled
/// exception (what sys.exception() and traceback.format_exc() see, and the
/// context of any exception raised meanwhile).
class Handling {
public:
    explicit Handling(Ref exception) noexcept;
    // Restores the previous exception, unless the thread is being ended
    // without the interpreter (see thread_attached).
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

    [[nodiscard]] PyObject* exception() const noexcept { return exception_.get(); }

private:
    Ref exception_;
    Ref previous_;
};

}  // namespace crenly::core
