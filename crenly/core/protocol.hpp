// Thin, throwing wrappers over the object protocol: attribute access,
// dictionary lookup and vectorcalls with pool names and keyword-name tuples.
// Every object parameter takes a borrowed PyObject*, a Ref or a Constant, so
// that no owner is ever converted to a raw pointer by accident.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "crenly/core/errors.hpp"
#include "crenly/core/names.hpp"

namespace crenly::core {

/// The borrowed object behind each kind of object parameter.
inline PyObject* object(PyObject* o) noexcept { return o; }
inline PyObject* object(const Ref& o) noexcept { return o.get(); }
inline PyObject* object(const Constant& o) noexcept { return o.get(); }

/// `o.name`
template <class O>
Ref getattr(const O& o, Id name) {
    return own(PyObject_GetAttr(object(o), str(name)));
}

/// `o.name` when it exists, else empty: the contract of 3.13's
/// PyObject_GetOptionalAttr (an AttributeError means absent and is cleared;
/// any other error throws).
Ref optional_attr(PyObject* o, PyObject* name);

/// `o.name = value`
template <class O, class V>
void setattr(const O& o, Id name, const V& value) {
    require_status(PyObject_SetAttr(object(o), str(name), object(value)));
}

/// `dict.get(key)`: a new reference, or empty when the key is missing;
/// throws when the lookup fails (comparing keys may run Python code).
inline Ref dict_get(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);  // borrowed
    if (value == nullptr && PyErr_Occurred()) throw_python_error();
    return Ref::borrow(value);
}

/// `f(args...)` with positional arguments only (all borrowed).
template <class F, class... Args>
Ref call(const F& f, const Args&... args) {
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[] = {nullptr, object(args)...};
    return own(PyObject_Vectorcall(object(f), stack + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `self.name(args...)`, using the interpreter's method lookup (no bound
/// method object for plain methods).
template <class S, class... Args>
Ref call_method(const S& self, Id name, const Args&... args) {
    PyObject* stack[] = {object(self), object(args)...};
    return own(PyObject_VectorcallMethod(
        str(name), stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `self.name(positional..., name=value...)`: the last N arguments are the
/// keyword values, in the order of `names`.
template <class S, std::size_t N, class... Args>
Ref call_method_kw(const S& self, Id name, const KeywordNames<N>& names, const Args&... args) {
    static_assert(N <= sizeof...(Args), "a value for every keyword name");
    PyObject* stack[] = {object(self), object(args)...};
    constexpr std::size_t positional = 1 + sizeof...(Args) - N;
    return own(PyObject_VectorcallMethod(str(name), stack,
                                         positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

/// One `name=value` argument of a call made once per run (value borrowed).
struct Keyword {
    template <class V>
    Keyword(Id n, const V& v) noexcept : name(n), value(object(v)) {}
    Id name;
    PyObject* value;
};

/// `f(positional..., name=value...)` for a call made once per run: the
/// keyword-name tuple is built for the call.
Ref call_named(PyObject* f, std::initializer_list<PyObject*> positional,
               std::initializer_list<Keyword> keywords);

/// `self.name(positional..., name=value...)` as call_named.
Ref call_method_named(PyObject* self, Id name, std::initializer_list<PyObject*> positional,
                      std::initializer_list<Keyword> keywords);

/// The truth value of `o`.
template <class O>
bool truth(const O& o) {
    return require_status(PyObject_IsTrue(object(o))) != 0;
}

}  // namespace crenly::core
