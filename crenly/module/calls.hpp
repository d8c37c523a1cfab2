// Thin, throwing wrappers over the object protocol: attribute access and
// vectorcalls with pool names and pre-built keyword tuples.
#pragma once

#include <cstddef>

#include "crenly/module/errors.hpp"
#include "crenly/module/state.hpp"

namespace crenly::module {

/// `o.name`
inline Ref getattr(PyObject* o, Id name) { return own(PyObject_GetAttr(o, str(name))); }

/// `o.name = value`
inline void setattr(PyObject* o, Id name, PyObject* value) {
    require_status(PyObject_SetAttr(o, str(name), value));
}

/// `f(args...)` with positional arguments only (all borrowed).
template <class... Args>
Ref call(PyObject* f, Args... args) {
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[] = {nullptr, args...};
    return own(PyObject_Vectorcall(f, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}

/// `f(positional..., name=value...)`: the last len(kwnames(kw)) arguments
/// are the keyword values, in the order of the keyword tuple.
template <class... Args>
Ref call_kw(PyObject* f, Kw kw, Args... args) {
    PyObject* names = kwnames(kw);
    PyObject* stack[] = {nullptr, args...};
    const std::size_t positional = sizeof...(Args) - static_cast<std::size_t>(PyTuple_GET_SIZE(names));
    return own(
        PyObject_Vectorcall(f, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

/// `self.name(args...)`, using the interpreter's method lookup (no bound
/// method object for plain methods).
template <class... Args>
Ref call_method(PyObject* self, Id name, Args... args) {
    PyObject* stack[] = {self, args...};
    return own(PyObject_VectorcallMethod(str(name), stack,
                                         (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

/// `self.name(positional..., name=value...)` as call_kw.
template <class... Args>
Ref call_method_kw(PyObject* self, Id name, Kw kw, Args... args) {
    PyObject* names = kwnames(kw);
    PyObject* stack[] = {self, args...};
    const std::size_t positional =
        1 + sizeof...(Args) - static_cast<std::size_t>(PyTuple_GET_SIZE(names));
    return own(PyObject_VectorcallMethod(str(name), stack,
                                         positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

/// The truth value of `o`.
inline bool truth(PyObject* o) { return require_status(PyObject_IsTrue(o)) != 0; }

/// `format(o, "")`: the text form used in console lines.
inline Ref format_empty(PyObject* o) { return own(PyObject_Format(o, state.empty_str.get())); }

}  // namespace crenly::module
