#include "crenly/module/code.hpp"

#include <string>

#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"

#include <frameobject.h>

namespace crenly::module {

using namespace crenly::core;

namespace {

constexpr const char* virtual_file = "crenly/crenly";
constexpr const char* module_prefix = "crenly.crenly.";
constexpr int co_optimized_newlocals = 0x0001 | 0x0002;
constexpr int co_generator = 0x0020;

/// The names of `names` before the first null (at most `size`), interned, as
/// a tuple.
Ref interned_tuple(const char* const* names, std::size_t size) {
    std::size_t count = 0;
    while (count < size && names[count] != nullptr) ++count;
    Ref tuple = own(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                         require(PyUnicode_InternFromString(names[i])));
    }
    return tuple;
}

/// A code object without instructions named `name`.
Ref make_entry_code(const std::string& name, int line) {
    return own(reinterpret_cast<PyObject*>(PyCode_NewEmpty(virtual_file, name.c_str(), line)));
}

/// The frame that heads the traceback entries named `name`, with the module
/// namespace as its globals.
Ref make_entry_frame(const std::string& name, int line) {
    Ref code = make_entry_code(name, line);
    return own(reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(),
                                                       reinterpret_cast<PyCodeObject*>(code.get()),
                                                       state.namespace_.get(), nullptr)));
}

/// A code object named `name` in the virtual file with the given argument
/// count, local names and flags; `consts` replaces co_consts when given.
Ref make_code_object(const char* name, const std::string& qualname, int line, int argcount,
                     PyObject* varnames, int flags, PyObject* consts) {
    Ref code = make_entry_code(name, line);
    Ref kwargs = own(PyDict_New());
    Ref q = own(PyUnicode_FromString(qualname.c_str()));
    Ref argc = own(PyLong_FromLong(argcount));
    Ref nloc = own(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames)));
    Ref fl = own(PyLong_FromLong(flags));
    require_status(PyDict_SetItemString(kwargs.get(), "co_qualname", q.get()));
    require_status(PyDict_SetItemString(kwargs.get(), "co_argcount", argc.get()));
    require_status(PyDict_SetItemString(kwargs.get(), "co_nlocals", nloc.get()));
    require_status(PyDict_SetItemString(kwargs.get(), "co_varnames", varnames));
    require_status(PyDict_SetItemString(kwargs.get(), "co_flags", fl.get()));
    if (consts != nullptr) require_status(PyDict_SetItemString(kwargs.get(), "co_consts", consts));
    Ref replace = getattr(code, Id::replace);
    return own(PyObject_Call(replace.get(), state.empty_tuple.get(), kwargs.get()));
}

}  // namespace

int definition_lines(const Callable& c) noexcept {
    int lines = 4;  // the def line, the docstring's first line, the body, the blank line
    for (const char* p = c.doc; *p != '\0'; ++p) lines += *p == '\n';
    return lines;
}

Code make_code(const Callable& c, int line) {
    Code made;
    made.varnames = interned_tuple(c.locals, max_locals);
    Ref consts;
    if (c.inner.name != nullptr) {
        // The nested code starts on the line of the body and is a constant of
        // the code that holds it.
        const int inner_line = line + definition_lines(c) - 2;
        const std::string qualname = std::string(c.qualname) + ".<locals>." + c.inner.name;
        Ref varnames = interned_tuple(c.inner.locals, std::size(c.inner.locals));
        Ref inner = make_code_object(c.inner.name, qualname, inner_line, 1, varnames.get(),
                                     co_optimized_newlocals | co_generator, nullptr);
        consts = own(PyTuple_Pack(2, Py_None, inner.get()));
        made.inner_entry = make_entry_frame(module_prefix + qualname, inner_line);
    }
    made.code = make_code_object(c.name, c.qualname, line, c.signature.count, made.varnames.get(),
                                 co_optimized_newlocals, consts.get());
    made.entry = make_entry_frame(module_prefix + std::string(c.qualname), line);
    return made;
}

}  // namespace crenly::module
