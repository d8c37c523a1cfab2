#include "crenly/module/binder.hpp"

#include "crenly/module/calls.hpp"

namespace crenly::module {

namespace {

/// "f() takes exactly N positional argument(s) (G given)"
[[noreturn]] CRENLY_COLD void count_error(const Callable& c, Py_ssize_t given) {
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
          c.short_name, "exactly", static_cast<Py_ssize_t>(c.nparams), c.nparams == 1 ? "" : "s",
          given);
}

/// The index of the parameter named `key`, or -1. Pointer comparison first
/// (keyword names are normally interned), equality as the fallback.
int parameter_index(const Callable& c, PyObject* key) {
    for (int i = 0; i < c.nparams; ++i) {
        if (key == str(c.params[i])) return i;
    }
    for (int i = 0; i < c.nparams; ++i) {
        if (require_status(PyObject_RichCompareBool(key, str(c.params[i]), Py_EQ)) == 1) return i;
    }
    return -1;
}

/// Raises the TypeError of a failed exact-type check; with a note when
/// `value` is an instance of a subclass of the expected type.
[[noreturn]] CRENLY_COLD void type_error(const Callable& c, PyObject* value, bool subclass) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 PyUnicode_AsUTF8(str(c.params[1])), c.check_name, Py_TYPE(value)->tp_name);
    if (subclass) {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref added = Ref::steal(PyObject_CallMethodOneArg(exc.get(), str(Id::add_note), str(Id::subclass_note)));
        if (!added) throw_python_error();  // the failure of add_note replaces the TypeError
        PyErr_SetRaisedException(exc.release());
    }
    throw_python_error();
}

void check_type(const Callable& c, PyObject* value) {
    switch (c.check) {
        case ArgCheck::none:
            return;
        case ArgCheck::str:
            if (!PyUnicode_CheckExact(value)) type_error(c, value, PyUnicode_Check(value));
            return;
        case ArgCheck::list:
            if (!PyList_CheckExact(value)) type_error(c, value, PyList_Check(value));
            return;
    }
}

}  // namespace

void bind(const Callable& c, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (c.nparams == 0) {
        if (nkw > 0) raise(PyExc_TypeError, "%.200s() %s", c.short_name, "takes no keyword arguments");
        if (nargs > 0) {
            raise(PyExc_TypeError, "%.200s() %s (%zd given)", c.short_name, "takes no arguments", nargs);
        }
        return;
    }
    if (nargs > c.nparams) count_error(c, nargs);
    if (nkw == 0) {
        if (nargs != c.nparams) count_error(c, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    } else {
        for (int i = 0; i < c.nparams; ++i) bound[i] = i < nargs ? args[i] : nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", c.short_name);
            const int index = parameter_index(c, key);
            if (index < 0) {
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", c.short_name, key);
            }
            if (bound[index] != nullptr) {
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", c.short_name,
                      key);
            }
            bound[index] = args[nargs + k];
        }
        for (int i = 0; i < c.nparams; ++i) {
            if (bound[i] == nullptr) count_error(c, i);
        }
    }
    if (c.nparams == 2) check_type(c, bound[1]);
}

}  // namespace crenly::module
