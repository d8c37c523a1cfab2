#include "crenly/core/state.hpp"

#include "crenly/core/errors.hpp"

namespace crenly::core {

State& state = *new State();

namespace {

// The enrolled slots, the last enrolled first. Constant-initialised, so set
// before any declaration's constructor runs, whatever the file order.
constinit Slot* slots = nullptr;

// The key of the mark that the state's interpreter carries in its own
// dictionary (PyInterpreterState_GetDict); a new interpreter, also a main
// interpreter started again by an embedding program, has a fresh dictionary.
constexpr const char* runtime_mark = "crenly.crenly";

}  // namespace

Slot::Slot() noexcept : next_(slots) { slots = this; }

bool interpreter_is_marked(PyInterpreterState* interp) {
    PyObject* dict = PyInterpreterState_GetDict(interp);  // borrowed; null without an error set
    if (dict == nullptr) return false;
    Ref key = own(PyUnicode_FromString(runtime_mark));
    return require_status(PyDict_Contains(dict, key.get())) == 1;
}

namespace {

/// Drops everything the module holds; registered with atexit, so that it runs
/// while the interpreter still works and the module is then freed with
/// everything else. A later import (after Py_Initialize again) starts afresh.
/// With a call of the module's functions still under way (a daemon thread,
/// or the exit callbacks run from inside one), the state stays as it is: a
/// later interpreter of the process then gets the ImportError of the create step.
PyObject* release_at_exit(PyObject* /*self*/,
                          PyObject* /*unused*/) CRENLY_NOEXCEPT_BUT_FORCED_UNWIND {
    if (state.calls_running != 0) Py_RETURN_NONE;
    release_state();
    Py_RETURN_NONE;
}

PyMethodDef release_def = {"crenly_release", release_at_exit, METH_NOARGS, nullptr};

}  // namespace

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

void release_state() {
    {
        State held = std::move(state);  // leaves every Ref of `state` empty
        state.live = false;
    }  // `held` drops the objects here
    for (Slot* slot = slots; slot != nullptr; slot = slot->next_) slot->release();
}

}  // namespace crenly::core
