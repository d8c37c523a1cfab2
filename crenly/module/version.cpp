#include "crenly/module/version.hpp"

#include "crenly/module/callables.hpp"
#include "crenly/module/calls.hpp"
#include "crenly/module/globals.hpp"

namespace crenly::module {

namespace {

/// `Path(__file__).parent`, looked up afresh.
Ref module_directory() {
    Ref path = module_file_path();
    return getattr(path.get(), Id::parent_attr);
}

/// `a / b`
Ref join(PyObject* a, PyObject* b) { return own(PyNumber_TrueDivide(a, b)); }

/// The value of a version line, or null when the line does not carry one.
Ref version_from_line(PyObject* line) {
    Ref stripped = call_method(line, Id::strip);
    Ref starts = call_method(stripped.get(), Id::startswith, str(Id::version));
    if (!truth(starts.get())) return {};
    Ref parts = call_method(line, Id::split, str(Id::equals));
    if (PyObject_Length(parts.get()) != 2) {
        if (PyErr_Occurred()) throw_python_error();
        return {};
    }
    Ref value = own(PySequence_GetItem(parts.get(), 1));
    value = call_method(value.get(), Id::strip);
    value = call_method(value.get(), Id::strip, str(Id::double_quote));
    return call_method(value.get(), Id::strip, str(Id::single_quote));
}

/// Reads the open file `f` line by line inside `with f:`.
Ref read_version(PyObject* f) {
    Ref entered = call_method(f, Id::dunder_enter);
    Ref result;
    try {
        Ref lines = own(PyObject_GetIter(f));
        while (Ref line = Ref::steal(PyIter_Next(lines.get()))) {
            result = version_from_line(line.get());
            if (result) break;
        }
        if (PyErr_Occurred()) throw_python_error();
    } catch (const PythonError&) {
        // __exit__ with the exception; a true result would suppress it.
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
        Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
        Ref suppressed;
        {
            Handling handling(Ref::borrow(exc.get()));
            suppressed = call_method(f, Id::dunder_exit, type.get(), exc.get(), tb ? tb.get() : Py_None);
        }
        if (truth(suppressed.get())) return Ref::borrow(str(Id::default_version));
        PyErr_SetRaisedException(exc.release());
        throw;
    }
    PyObject* none = Py_None;
    call_method(f, Id::dunder_exit, none, none, none);
    return result ? std::move(result) : Ref::borrow(str(Id::default_version));
}

Ref lookup() {
    Ref version_file = join(module_directory().get(), str(Id::version_file));
    if (!truth(call_method(version_file.get(), Id::is_file).get())) {
        // Left to right: Path(__file__).parent before NAME is read.
        Ref directory = module_directory();
        Ref name = load_global(Id::NAME);
        Ref subdir = join(directory.get(), name.get());
        version_file = join(subdir.get(), str(Id::version_file));
    }
    if (!truth(call_method(version_file.get(), Id::is_file).get())) {
        return Ref::borrow(str(Id::default_version));
    }
    Ref f = call(state.open.get(), version_file.get(), str(Id::mode_r));
    return read_version(f.get());
}

/// `os.getenv("TRACEBACK")`, with the global os and its getenv looked up
/// afresh at each call.
Ref traceback_switch() {
    Ref os = load_global(Id::os);
    return call_method(os.get(), Id::getenv, str(Id::TRACEBACK));
}

/// Reports a failed lookup: the traceback when TRACEBACK is "1", "true" or
/// "True", otherwise the "ERROR: " line.
void report(PyObject* exception) {
    bool full = false;
    if (truth(traceback_switch().get())) {
        Ref value = traceback_switch();
        for (Id accepted : {Id::one, Id::true_lower, Id::true_title}) {
            if (require_status(PyObject_RichCompareBool(value.get(), str(accepted), Py_EQ)) == 1) {
                full = true;
                break;
            }
        }
    }
    if (full) {
        Ref traceback = load_global(Id::traceback);
        Ref text = call_method(traceback.get(), Id::format_exc);
        console_line(text.get());
    } else {
        error_line(Id::error_prefix, exception);
    }
}

}  // namespace

Ref get_version_body(PyObject* const* /*args*/) {
    try {
        return lookup();
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception, traceback_code(CallableId::get_version)));
        report(handling.exception());
        return Ref::borrow(str(Id::default_version));
    }
}

}  // namespace crenly::module
