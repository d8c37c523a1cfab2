// The module definition, the init function and the two loading steps
// (create and exec) of multi-phase initialisation, with the state's binding
// to the interpreter that loads it and its release at that interpreter's exit.
#include <cstdint>

#include "crenly/core/errors.hpp"
#include "crenly/core/globals.hpp"
#include "crenly/core/names.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"
#include "crenly/module/body.hpp"

#include <frameobject.h>

namespace crenly::module {

using namespace crenly::core;

namespace {

// The key of the mark that the state's interpreter carries in its own
// dictionary (PyInterpreterState_GetDict); a new interpreter, also a main
// interpreter started again by an embedding program, has a fresh dictionary.
constexpr const char* runtime_mark = "crenly.crenly";

/// Whether the state's interpreter is `interp`: the mark is there.
bool interpreter_is_marked(PyInterpreterState* interp) {
    PyObject* dict = PyInterpreterState_GetDict(interp);  // borrowed; null without an error set
    if (dict == nullptr) return false;
    Ref key = own(PyUnicode_FromString(runtime_mark));
    return require_status(PyDict_Contains(dict, key.get())) == 1;
}

/// Drops everything the module holds; registered with atexit, so that it runs
/// while the interpreter still works and the module is then freed with
/// everything else. A later import (after Py_Initialize again) starts afresh.
/// With a call of the module's functions still under way (a daemon thread,
/// or the exit callbacks run from inside one), the state stays as it is: a
/// later interpreter of the process then gets the ImportError of the create step.
PyObject* release_at_exit(PyObject* /*self*/,
                          PyObject* /*unused*/) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    return guard_object([] {
        if (state.calls_running == 0) release_state();
        return Ref::borrow(Py_None);
    });
}

PyMethodDef release_def = {"crenly_release", release_at_exit, METH_NOARGS, nullptr};

/// Ties the state to the running interpreter: marks the interpreter and
/// registers release_at_exit with its atexit.
void bind_to_interpreter() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (dict == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no interpreter dictionary");
        throw_python_error();
    }
    require_status(PyDict_SetItemString(dict, runtime_mark, Py_True));
    Ref atexit = own(PyImport_ImportModule("atexit"));
    Ref release = own(PyCFunction_New(&release_def, nullptr));
    Ref registered = own(PyObject_CallMethod(atexit.get(), "register", "O", release.get()));
    state.live = true;
}

/// Caches ImportError, print, open and sum from the builtins module.
void cache_builtins() {
    state.import_error = load_builtin(Id::ImportError);
    state.print = load_builtin(Id::print);
    state.open = load_builtin(Id::open);
    state.sum = load_builtin(Id::sum);
}

/// Copies the attribute `from` of the import spec to the module dictionary
/// as `to`. A missing attribute is skipped; None is skipped only when
/// `skip_none`. (The create step runs before the pool exists: the names are
/// C strings here.)
void copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool skip_none) {
    Ref name = own(PyUnicode_FromString(from));
    Ref value = optional_attr(spec, name.get());
    if (!value || (skip_none && value.get() == Py_None)) return;
    require_status(PyDict_SetItemString(dict, to, value.get()));
}

/// Adds to the pending exception the entry "init crenly.crenly" at `line` of
/// the virtual file: the statement of the module body that failed.
void add_init_entry(int line) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty("crenly/crenly", "init crenly.crenly", line);
    if (code == nullptr) PyErr_Clear();  // the original error is kept, undecorated
    PyErr_SetRaisedException(pending);
    if (code == nullptr) return;
    add_entry(code, state.namespace_.get());
    Py_DECREF(code);
}

/// Create step: one interpreter per process; the same module object for
/// every import of this process once one has started executing.
PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    return guard_object([spec] {
        PyInterpreterState* interp = PyThreadState_GetInterpreter(PyThreadState_Get());
        const std::int64_t id = PyInterpreterState_GetID(interp);
        if (id < 0) throw_python_error();
        if (state.main_interpreter == -1) {
            state.main_interpreter = id;
        } else if (state.main_interpreter != id) {
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per "
                  "process.");
        }
        // The same ID, but a main interpreter started again (an embedding
        // program): the objects of the one that ended are never used again.
        // Reached only when the release at its exit did not run (atexit
        // callbacks cleared).
        if (state.live && !interpreter_is_marked(interp)) {
            raise(PyExc_ImportError,
                  "Interpreter restart detected - crenly.crenly was loaded by an interpreter that "
                  "has "
                  "since been finalized without releasing it; it cannot be loaded again in this "
                  "process.");
        }
        if (state.module) return Ref::borrow(state.module.get());
        Ref name = own(PyObject_GetAttrString(spec, "name"));
        Ref module = own(PyModule_NewObject(name.get()));
        PyObject* dict = require(PyModule_GetDict(module.get()));  // borrowed from module
        copy_spec_attribute(spec, dict, "loader", "__loader__", false);
        copy_spec_attribute(spec, dict, "origin", "__file__", false);
        copy_spec_attribute(spec, dict, "parent", "__package__", false);
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true);
        return module;
    });
}

/// Exec step: builds the process-wide state and runs the module body once.
int module_exec(PyObject* module) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    if (state.module) {
        if (state.module.get() == module) return 0;
        PyErr_SetString(
            PyExc_RuntimeError,
            "Module 'crenly' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    bool constants_ready = false;
    int line = 1;
    const int status = guard_status([&] {
        if (!state.live) bind_to_interpreter();
        state.module = Ref::borrow(module);
        state.namespace_ = Ref::borrow(require(PyModule_GetDict(module)));
        // Before the pool exists: these two names are C strings.
        state.builtins = Ref::borrow(require(PyImport_AddModule("builtins")));
        require_status(PyObject_SetAttrString(module, "__builtins__", state.builtins.get()));

        // The version of the headers the module was compiled with.
        const unsigned long running = Py_Version >> 16;
        if (running != ((PY_MAJOR_VERSION << 8) | PY_MINOR_VERSION)) {
            require_status(PyErr_WarnFormat(
                PyExc_RuntimeWarning, 1,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, "crenly.crenly", "does not match",
                static_cast<int>(running >> 8), static_cast<int>(running & 0xFF)));
        }

        create_constants();
        constants_ready = true;
        if (PyErr_Occurred()) throw_python_error();

        PyObject* modules = require(PyImport_GetModuleDict());  // borrowed
        if (!dict_get(modules, str(Id::crenly_crenly))) {
            require_status(PyDict_SetItem(modules, str(Id::crenly_crenly), module));
        }

        cache_builtins();
        run_body(line);
    });
    if (status == 0) return 0;
    if (constants_ready) add_init_entry(line);
    // A later import starts again from the create step.
    state.module.reset();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

// No callable is published through the definition: the body binds them all.
PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "crenly",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace crenly::module

extern "C" PyMODINIT_FUNC PyInit_crenly(void) {
    return PyModuleDef_Init(&crenly::module::module_def);
}
