#include "crenly/module/errors.hpp"

#include <cassert>
#include <cstdarg>
#include <exception>
#include <new>

#include <frameobject.h>

#include "crenly/module/state.hpp"

namespace crenly::module {

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

void add_traceback(PyObject* code) noexcept {
    // The frame is made with no exception pending (allocation may run the
    // garbage collector, and with it arbitrary finalisers).
    PyObject* pending = PyErr_GetRaisedException();
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                       state.namespace_.get(), nullptr);
    if (frame == nullptr) {
        // Keep the original error rather than the failure to decorate it.
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

void add_traceback_frame(PyObject* frame) noexcept {
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame)) < 0) {
        // Keep the original error (the context of the failure) rather than
        // the failure to decorate it.
        PyObject* failure = PyErr_GetRaisedException();
        PyObject* original = PyException_GetContext(failure);
        if (original == nullptr) {
            PyErr_SetRaisedException(failure);
            return;
        }
        Py_DECREF(failure);
        PyErr_SetRaisedException(original);
    }
}

Ref make_traceback_frame(PyObject* code) {
    return own(reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(),
                                                       reinterpret_cast<PyCodeObject*>(code),
                                                       state.namespace_.get(), nullptr)));
}

void add_traceback(const char* function, int line) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty("crenly/crenly", function, line);
    if (code == nullptr) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (code == nullptr) return;
    add_traceback(reinterpret_cast<PyObject*>(code));
    Py_DECREF(code);
}

Ref catch_pending(PyObject* type, PyObject* traceback_code) {
    if (!PyErr_ExceptionMatches(type)) throw_python_error();
    if (traceback_code != nullptr) add_traceback(traceback_code);
    return Ref::steal(PyErr_GetRaisedException());
}

Handling::Handling(Ref exception) noexcept
    : exception_(std::move(exception)), previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exception_.get());
}

Handling::~Handling() {
    if (thread_attached()) PyErr_SetHandledException(previous_.get());
}

}  // namespace crenly::module
