#include "crenly/version/version.hpp"

#include "crenly/core/console.hpp"
#include "crenly/core/globals.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"

namespace crenly::version {

using namespace crenly::core;

namespace {

// The version when there is no version file or no version line.
const Text default_version{"2.0"};

/// `Path(__file__).parent`, looked up afresh.
Ref module_directory() {
    Ref path = module_file_path();
    return getattr(path, Id::parent);
}

/// `a / b`
Ref join(PyObject* a, PyObject* b) { return own(PyNumber_TrueDivide(a, b)); }

// A version line: version = "<value>" (or '<value>').
const Text equals{"="};
const Text double_quote{"\""};
const Text single_quote{"'"};

/// The value of a version line, or null when the line does not carry one.
Ref version_from_line(PyObject* line) {
    Ref stripped = call_method(line, Id::strip);
    Ref starts = call_method(stripped, Id::startswith, str(Id::version));
    if (!truth(starts)) return {};
    Ref parts = call_method(line, Id::split, equals);
    if (PyObject_Length(parts.get()) != 2) {
        if (PyErr_Occurred()) throw_python_error();
        return {};
    }
    Ref value = own(PySequence_GetItem(parts.get(), 1));
    value = call_method(value, Id::strip);
    value = call_method(value, Id::strip, double_quote);
    return call_method(value, Id::strip, single_quote);
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
            suppressed =
                call_method(f, Id::dunder_exit, type.get(), exc.get(), tb ? tb.get() : Py_None);
        }
        if (truth(suppressed)) return Ref::borrow(default_version.get());
        PyErr_SetRaisedException(exc.release());
        throw;
    }
    PyObject* none = Py_None;
    call_method(f, Id::dunder_exit, none, none, none);
    return result ? std::move(result) : Ref::borrow(default_version.get());
}

const Text version_file_name{"__version__.py"};
const Text read_mode{"r"};

/// The version from the version file beside the module, or in its NAME subdirectory.
Ref lookup() {
    Ref version_file = join(module_directory().get(), version_file_name.get());
    if (!truth(call_method(version_file, Id::is_file))) {
        // Left to right: Path(__file__).parent before NAME is read.
        Ref directory = module_directory();
        Ref name = load_global(Id::NAME);
        Ref subdir = join(directory.get(), name.get());
        version_file = join(subdir.get(), version_file_name.get());
    }
    if (!truth(call_method(version_file, Id::is_file))) {
        return Ref::borrow(default_version.get());
    }
    Ref f = call(state.open, version_file, read_mode);
    return read_version(f.get());
}

/// `os.getenv("TRACEBACK")`, with the global os and its getenv looked up
/// afresh at each call.
Ref traceback_switch() {
    Ref os = load_global(Id::os);
    return call_method(os, Id::getenv, str(Id::TRACEBACK));
}

// The values of TRACEBACK that ask for the whole traceback.
const Text traceback_on[] = {Text{"1"}, Text{"true"}, Text{"True"}};
const Text error_prefix{"ERROR: "};

/// Reports a failed lookup: the traceback when TRACEBACK is "1", "true" or
/// "True", otherwise the "ERROR: " line.
void report(PyObject* exception) {
    bool full = false;
    if (truth(traceback_switch())) {
        Ref value = traceback_switch();
        for (const Text& accepted : traceback_on) {
            if (require_status(PyObject_RichCompareBool(value.get(), accepted.get(), Py_EQ)) == 1) {
                full = true;
                break;
            }
        }
    }
    if (full) {
        Ref traceback = load_global(Id::traceback);
        Ref text = call_method(traceback, Id::format_exc);
        console_line(text);
    } else {
        error_line(error_prefix, exception);
    }
}

}  // namespace

Ref get_version() {
    try {
        return lookup();
    } catch (const PythonError&) {
        Handling handling(catch_pending(PyExc_Exception));
        report(handling.exception());
        return Ref::borrow(default_version.get());
    }
}

}  // namespace crenly::version
