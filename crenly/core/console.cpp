#include "crenly/core/console.hpp"

#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"

namespace crenly::core {

namespace {

const Text ascii{"ascii"};

/// `sys.stdout.encoding or "ascii"`: "ascii" when the encoding is false
/// (None, ""), and also when there is none or it is not a str.
Ref stdout_encoding() {
    // Held: reading its encoding may run Python code, which may replace sys.stdout.
    Ref out = Ref::borrow(PySys_GetObject("stdout"));
    if (out && out.get() != Py_None) {
        Ref encoding = optional_attr(out.get(), str(Id::encoding));
        if (encoding && PyUnicode_Check(encoding.get()) && truth(encoding)) return encoding;
    }
    return Ref::borrow(ascii.get());
}

}  // namespace

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
        const Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_CopyCharacters(result.get(), at, piece, 0, n) < 0) throw_python_error();
        at += n;
    }
    return result;
}

Ref format_empty(PyObject* o) { return own(PyObject_Format(o, state.empty_str.get())); }

void console_line(PyObject* text) {
    PyObject* stack[] = {nullptr, text};
    PyObject* result = PyObject_Vectorcall(state.print.get(), stack + 1,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result != nullptr) {
        Py_DECREF(result);
        return;
    }
    Handling encode_error(catch_pending(PyExc_UnicodeEncodeError));
    Ref encoding = stdout_encoding();
    const char* enc = PyUnicode_AsUTF8(encoding.get());
    if (enc == nullptr) throw_python_error();
    Ref bytes = own(PyUnicode_AsEncodedString(text, enc, "replace"));
    Ref replaced = own(PyUnicode_Decode(PyBytes_AS_STRING(bytes.get()),
                                        PyBytes_GET_SIZE(bytes.get()), enc, "strict"));
    call(state.print, replaced);
}

const Text debug_flag{"--debug"};

bool debug_requested() {
    Ref argv = getattr(load_global(Id::sys), Id::argv);
    return require_status(PySequence_Contains(argv.get(), debug_flag.get())) != 0;
}

void error_line(const Text& prefix, PyObject* exception) {
    Ref reason = format_empty(exception);
    console_line(concat({prefix.get(), reason.get()}));
}

}  // namespace crenly::core
