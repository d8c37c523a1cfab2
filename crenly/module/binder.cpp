#include "crenly/module/binder.hpp"

#include <algorithm>
#include <cstdio>

#include "crenly/core/errors.hpp"
#include "crenly/core/names.hpp"

namespace crenly::module {

using namespace crenly::core;

namespace {

const Text subclass_note{
    "crenly rejects subclasses of built-in types here, which is stricter than PEP 484 requires."};

/// "f() takes exactly N positional argument(s) (G given)". The names are
/// short ASCII constants, so the C library formats the text: the
/// interpreter's PyUnicode_FromFormat costs several times as much, and this
/// is the path of every call with the wrong number of arguments.
CRENLY_COLD bool count_error(const Callable& c, Py_ssize_t given) noexcept {
    char text[256];
    const int count = c.signature.count;
    const int length = std::snprintf(
        text, sizeof text, "%.120s() takes exactly %zd positional argument%s (%zd given)", c.name,
        static_cast<Py_ssize_t>(count), count == 1 ? "" : "s", given);
    // At most 120 + 60 characters: never cut, but never read past the end.
    const Py_ssize_t size = length < 0 ? 0 : std::min<Py_ssize_t>(length, sizeof text - 1);
    PyObject* message = PyUnicode_FromStringAndSize(text, size);
    if (message == nullptr) return false;
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
    return false;
}

/// The index of the parameter named `key`, -1 when there is none, -2 on
/// error. Pointer comparison first (keyword names are normally interned),
/// equality as the fallback.
int parameter_index(const Callable& c, PyObject* const* params, PyObject* key) {
    for (int i = 0; i < c.signature.count; ++i) {
        if (key == params[i]) return i;
    }
    for (int i = 0; i < c.signature.count; ++i) {
        const int equal = PyObject_RichCompareBool(key, params[i], Py_EQ);
        if (equal < 0) return -2;
        if (equal == 1) return i;
    }
    return -1;
}

/// Sets the TypeError of a failed exact-type check `check` of the parameter
/// `name`; with a note when `value` is an instance of a subclass of the
/// expected type.
CRENLY_COLD bool type_error(ArgCheck check, PyObject* name, PyObject* value, bool subclass) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 PyUnicode_AsUTF8(name), check_name(check), Py_TYPE(value)->tp_name);
    if (!subclass) return false;
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* added = PyObject_CallMethodOneArg(exc, str(Id::add_note), subclass_note.get());
    if (added == nullptr) {
        // The failure of add_note replaces the TypeError.
        Py_DECREF(exc);
        return false;
    }
    Py_DECREF(added);
    PyErr_SetRaisedException(exc);
    return false;
}

/// Whether `value`, bound to the parameter `name`, passes `check`; if not,
/// the TypeError is set.
bool check_type(ArgCheck check, PyObject* name, PyObject* value) {
    switch (check) {
        case ArgCheck::none:
            return true;
        case ArgCheck::str:
            return PyUnicode_CheckExact(value) ||
                   type_error(check, name, value, PyUnicode_Check(value));
        case ArgCheck::list:
            return PyList_CheckExact(value) || type_error(check, name, value, PyList_Check(value));
    }
    return true;
}

}  // namespace

bool bind(const Callable& c, PyObject* const* params, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    const int count = c.signature.count;
    if (count == 0) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", c.name, "takes no keyword arguments");
            return false;
        }
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", c.name, "takes no arguments",
                         nargs);
            return false;
        }
        return true;
    }
    if (nargs > count) return count_error(c, nargs);
    if (nkw == 0) {
        if (nargs != count) return count_error(c, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    } else {
        for (int i = 0; i < count; ++i) bound[i] = i < nargs ? args[i] : nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", c.name);
                return false;
            }
            const int index = parameter_index(c, params, key);
            if (index == -2) return false;
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             c.name, key);
                return false;
            }
            if (bound[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             c.name, key);
                return false;
            }
            bound[index] = args[nargs + k];
        }
        for (int i = 0; i < count; ++i) {
            if (bound[i] == nullptr) return count_error(c, i);
        }
    }
    for (int i = 0; i < count; ++i) {
        if (!check_type(c.signature.params[i].check, params[i], bound[i])) return false;
    }
    return true;
}

}  // namespace crenly::module
