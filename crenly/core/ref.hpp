// The owner of one strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The interpreters the module is written and tested for: the range of minor
// versions that CMakeLists.txt reads from requires-python in pyproject.toml.
#if !defined(CRENLY_PYTHON_MINOR_FIRST) || !defined(CRENLY_PYTHON_MINOR_LAST) || \
    PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION < CRENLY_PYTHON_MINOR_FIRST ||     \
    PY_MINOR_VERSION > CRENLY_PYTHON_MINOR_LAST
#error "crenly builds for the CPython versions that requires-python in pyproject.toml admits"
#endif
#ifdef Py_GIL_DISABLED
#error "crenly does not build for a free-threaded CPython: it relies on the interpreter lock"
#endif

#include <utility>

namespace crenly::core {

/// Whether this thread has its interpreter state attached, so that it may
/// touch Python objects. False while the thread has let go of the
/// interpreter lock, and so also while glibc unwinds a thread that the
/// interpreter's finalization ended in PyEval_RestoreThread (a daemon
/// thread at exit): the unwind runs the destructors of the frames it
/// passes, and nothing may be released then.
inline bool thread_attached() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;  // public from 3.13 on
#endif
}

/// Owns one strong reference (or nothing). Move-only; every incref and every
/// transfer of ownership is spelled out: `steal` adopts a new reference,
/// `borrow` takes an extra one, `release` hands it back to the caller.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    // Without the interpreter (see thread_attached) the reference is left
    // as it is: the process is ending that thread.
    ~Ref() {
        if (ptr_ != nullptr && thread_attached()) Py_DECREF(ptr_);
    }

    /// Adopts a new reference (may be null).
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Takes an additional reference to a borrowed object (may be null).
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    /// Gives the reference to the caller; this owner becomes empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    /// Drops the reference now.
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace crenly::core
