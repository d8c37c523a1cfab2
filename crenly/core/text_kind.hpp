#pragma once

#include <Python.h>

namespace crenly::core {

/// Calls `f` with a value of the character type that stores `text` (Py_UCS1,
/// Py_UCS2 or Py_UCS4), so that one template serves the three storage kinds
/// of a str; returns what `f` returns.
template <class F>
decltype(auto) with_char_type(PyObject* text, F&& f) {
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return f(Py_UCS1{});
        case PyUnicode_2BYTE_KIND:
            return f(Py_UCS2{});
        default:
            return f(Py_UCS4{});
    }
}

}  // namespace crenly::core
