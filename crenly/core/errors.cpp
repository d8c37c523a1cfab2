#include "crenly/core/errors.hpp"

#include <frameobject.h>

#include <cassert>
#include <cstdarg>
#include <exception>
#include <new>
#include <utility>

namespace crenly::core {

void throw_python_error() {
    assert(PyErr_Occurred() && "a failure signalled without a Python error");
    ensure_error_set();
    throw PythonError{};
}

void raise(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    throw PythonError{};
}

void ensure_error_set() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "crenly: error signalled without an exception set");
    }
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        ensure_error_set();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "crenly: internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "crenly: unknown internal error");
    }
}

namespace {

/// The entries of the function under way on this thread (see EntryScope).
thread_local PyObject* current_frame = nullptr;
thread_local PyObject* current_inner = nullptr;

}  // namespace

EntryScope::EntryScope(PyObject* frame, PyObject* inner) noexcept
    : previous_frame_(std::exchange(current_frame, frame)),
      previous_inner_(std::exchange(current_inner, inner)) {}

EntryScope::~EntryScope() {
    current_frame = previous_frame_;
    current_inner = previous_inner_;
}

void add_entry(PyObject* frame, int offset) noexcept {
    // A failure to make the entry (no memory) leaves the exception as it was.
    PyObject* exception = PyErr_GetRaisedException();          // owned
    PyObject* previous = PyException_GetTraceback(exception);  // new reference, or null
    PyObject* entry = nullptr;
    if (offset < 0) {
        // The frame's own line: the first of its code.
        PyErr_SetRaisedException(Py_NewRef(exception));
        if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame)) == 0) {
            Py_XDECREF(previous);
            Py_DECREF(exception);
            return;  // the pending exception carries the entry
        }
    } else {
        PyCodeObject* code = PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame));
        entry = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyTraceBack_Type), "OOii",
                                      previous != nullptr ? previous : Py_None, frame, offset,
                                      PyCode_Addr2Line(code, offset));
        Py_DECREF(code);
        if (entry != nullptr && PyException_SetTraceback(exception, entry) < 0) Py_CLEAR(entry);
    }
    if (entry == nullptr) PyErr_Clear();
    Py_XDECREF(entry);
    Py_XDECREF(previous);
    PyErr_SetRaisedException(exception);
}

void add_entry(PyCodeObject* code, PyObject* globals, int offset) noexcept {
    // The frame is made with no exception pending (allocation may run the
    // garbage collector, and with it arbitrary finalisers).
    PyObject* exception = PyErr_GetRaisedException();
    PyObject* frame =
        reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, globals, nullptr));
    if (frame == nullptr) PyErr_Clear();
    PyErr_SetRaisedException(exception);
    if (frame == nullptr) return;
    add_entry(frame, offset);
    Py_DECREF(frame);
}

void add_inner_entry() noexcept {
    if (current_inner != nullptr) add_entry(current_inner);
}

Ref catch_pending(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) throw_python_error();
    if (current_frame != nullptr) add_entry(current_frame);
    return Ref::steal(PyErr_GetRaisedException());
}

Handling::Handling(Ref exception) noexcept
    : exception_(std::move(exception)), previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exception_.get());
}

Handling::~Handling() {
    if (thread_attached()) PyErr_SetHandledException(previous_.get());
}

}  // namespace crenly::core
