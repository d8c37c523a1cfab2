#include "crenly/cli/reassemble.hpp"

#include "crenly/core/errors.hpp"

namespace crenly::cli {

using namespace crenly::core;

namespace {

/// Appends joined[begin:end] to `names` when it is not empty.
void append_name(PyObject* names, PyObject* joined, Py_ssize_t begin, Py_ssize_t end) {
    if (begin == end) return;
    Ref name = own(PyUnicode_Substring(joined, begin, end));
    require_status(PyList_Append(names, name.get()));
}

}  // namespace

Ref reassemble(PyObject* joined) {
    Ref names = own(PyList_New(0));
    const int kind = PyUnicode_KIND(joined);
    const void* data = PyUnicode_DATA(joined);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(joined);
    bool in_braces = false;
    Py_ssize_t start = 0;  // every name is a contiguous piece of the text
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch == '{') {
            in_braces = true;
        } else if (ch == '}') {
            in_braces = false;
        } else if (ch == ' ' && !in_braces) {
            append_name(names.get(), joined, start, i);
            start = i + 1;
        }
    }
    append_name(names.get(), joined, start, length);
    return names;
}

}  // namespace crenly::cli
