// Error handling between C++ and the interpreter: a marker exception for a
// pending Python error, helpers that raise it, the guard of every entry
// point, and the `except Exception` idiom.
#pragma once

#include "crenly/module/ref.hpp"

#if defined(__GLIBC__)
#include <cxxabi.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define CRENLY_COLD __attribute__((cold, noinline))
#else
#define CRENLY_COLD
#endif

// An entry point that the interpreter calls and that may run Python code.
// glibc ends a thread by unwinding its stack (abi::__forced_unwind): the
// interpreter's finalization ends a daemon thread so when it asks for the
// interpreter lock again, also from inside such a function. A noexcept frame
// would turn that unwind into std::terminate, so these are not noexcept
// there; every other exception is still caught by their guard.
#if defined(__GLIBC__)
#define CRENLY_ENTRY
#else
#define CRENLY_ENTRY noexcept
#endif

// A guard that lets that unwind pass. Its `catch (abi::__forced_unwind&)`
// binds a reference to no object (the unwind carries none), which
// UndefinedBehaviorSanitizer reports; the guard's own code is left out of
// that check, the bodies it runs are not.
#if defined(__GLIBC__) && (defined(__GNUC__) || defined(__clang__))
#define CRENLY_GUARD __attribute__((no_sanitize("undefined")))
#else
#define CRENLY_GUARD
#endif

namespace crenly::module {

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

/// Runs `body` (returning Ref) for an interpreter entry point: a new
/// reference on success, null with a Python error set on any failure. The
/// unwind of a thread that the C library ends passes through untouched.
template <class F>
CRENLY_GUARD PyObject* guard_object(F&& body) CRENLY_ENTRY {
    try {
        return body().release();
    } catch (const PythonError&) {
        // The common failure: the error is set already (caught here rather
        // than classified by rethrowing, which costs far more).
        ensure_error_set();
        return nullptr;
#if defined(__GLIBC__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

/// Runs `body` (returning void) for an entry point with a status result.
template <class F>
CRENLY_GUARD int guard_status(F&& body) CRENLY_ENTRY {
    try {
        body();
        return 0;
    } catch (const PythonError&) {
        ensure_error_set();
        return -1;
#if defined(__GLIBC__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

/// Adds to the pending exception a traceback entry for `code` (a code
/// object whose name, file and first line make the entry).
void add_traceback(PyObject* code) noexcept;

/// Adds to the pending exception a traceback entry for `frame`, a frame
/// object made once and shared by every entry it heads (a traceback only
/// reads its code, globals and line, so sharing is not visible).
void add_traceback_frame(PyObject* frame) noexcept;

/// A frame for traceback entries of `code`, with the module namespace as
/// its globals.
Ref make_traceback_frame(PyObject* code);

/// Adds a traceback entry `function` at `line` of the file "crenly/crenly"
/// to the pending exception.
void add_traceback(const char* function, int line) noexcept;

/// The first half of `except <type>:` for a pending error: when it is an
/// instance of `type`, takes it off the error indicator and returns it;
/// otherwise leaves it pending and throws PythonError again. With a
/// `traceback_code`, a caught exception first gains that traceback entry.
Ref catch_pending(PyObject* type, PyObject* traceback_code = nullptr);

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

}  // namespace crenly::module
