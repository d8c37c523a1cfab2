#include "crenly/module/globals.hpp"

#include "crenly/module/calls.hpp"

namespace crenly::module {

Ref load_global(Id name) {
    PyObject* key = str(name);
    PyObject* value = PyDict_GetItemWithError(state.namespace_.get(), key);  // borrowed
    if (value == nullptr) {
        if (PyErr_Occurred()) throw_python_error();
        PyObject* builtins = require(PyModule_GetDict(state.builtins.get()));
        value = PyDict_GetItemWithError(builtins, key);
        if (value == nullptr) {
            if (PyErr_Occurred()) throw_python_error();
            raise(PyExc_NameError, "name '%U' is not defined", key);
        }
    }
    return Ref::borrow(value);
}

void store_global(Id name, PyObject* value) {
    require_status(PyDict_SetItem(state.namespace_.get(), str(name), value));
}

Ref make_path(PyObject* arg) {
    Ref path_type = load_global(Id::Path);
    return call(path_type.get(), arg);
}

Ref module_file_path() {
    Ref path_type = load_global(Id::Path);
    Ref file = load_global(Id::dunder_file);
    return call(path_type.get(), file.get());
}

Ref concat(std::initializer_list<PyObject*> pieces) {
    // Built in place: the widest piece decides the representation, and each
    // piece being canonical, the result is too.
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* piece : pieces) {
        length += PyUnicode_GET_LENGTH(piece);
        const Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(piece);
        if (piece_max > max_char) max_char = piece_max;
    }
    Ref result = own(PyUnicode_New(length, max_char));
    Py_ssize_t at = 0;
    for (PyObject* piece : pieces) {
        if (PyUnicode_CopyCharacters(result.get(), at, piece, 0, PyUnicode_GET_LENGTH(piece)) < 0) {
            throw_python_error();
        }
        at += PyUnicode_GET_LENGTH(piece);
    }
    return result;
}

namespace {

/// `sys.stdout.encoding or "ascii"`: "ascii" when the encoding is false
/// (None, ""), and also when there is none or it is not a str.
Ref stdout_encoding() {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out != nullptr && out != Py_None) {
        PyObject* encoding = PyObject_GetAttr(out, str(Id::encoding));
        if (encoding != nullptr) {
            Ref owned = Ref::steal(encoding);
            if (PyUnicode_Check(encoding) && truth(encoding)) return owned;
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            throw_python_error();
        }
    }
    return Ref::borrow(str(Id::ascii));
}

}  // namespace

void console_line(PyObject* text) {
    PyObject* stack[] = {nullptr, text};
    PyObject* result =
        PyObject_Vectorcall(state.print.get(), stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result != nullptr) {
        Py_DECREF(result);
        return;
    }
    Handling encode_error(catch_pending(PyExc_UnicodeEncodeError));
    Ref encoding = stdout_encoding();
    const char* enc = PyUnicode_AsUTF8(encoding.get());
    if (enc == nullptr) throw_python_error();
    Ref bytes = own(PyUnicode_AsEncodedString(text, enc, "replace"));
    Ref replaced = own(PyUnicode_Decode(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()),
                                        enc, "strict"));
    call(state.print.get(), replaced.get());
}

void error_line(Id prefix, PyObject* exception) {
    Ref reason = format_empty(exception);
    Ref line = concat({str(prefix), reason.get()});
    console_line(line.get());
}

bool debug_requested() {
    Ref sys = load_global(Id::sys);
    Ref argv = getattr(sys.get(), Id::argv);
    return require_status(PySequence_Contains(argv.get(), str(Id::debug_flag))) != 0;
}

}  // namespace crenly::module
