#include "crenly/module/errors.hpp"

#include <cstdarg>
#include <exception>
#include <new>

namespace crenly::module {

void throw_python_error() { throw PythonError{}; }

void raise(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    throw PythonError{};
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "crenly: error signalled without an exception set");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "crenly: internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "crenly: unknown internal error");
    }
}

void add_traceback(const char* function, int line) noexcept {
    // Builds an empty code object and frame for the entry and keeps the
    // pending exception as it was (it may itself fail with MemoryError, in
    // which case the original error is kept).
    _PyTraceback_Add(function, "crenly/crenly", line);
}

Ref catch_pending(PyObject* type, const char* function, int line) {
    if (!PyErr_ExceptionMatches(type)) throw_python_error();
    if (function != nullptr) add_traceback(function, line);
    return Ref::steal(PyErr_GetRaisedException());
}

Handling::Handling(Ref exception) noexcept
    : exception_(std::move(exception)), previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exception_.get());
}

Handling::~Handling() { PyErr_SetHandledException(previous_.get()); }

}  // namespace crenly::module
