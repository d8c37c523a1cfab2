#include "crenly/core/globals.hpp"

#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"

namespace crenly::core {

namespace {

Ref builtin(PyObject* name) {
    if (Ref value = dict_get(PyModule_GetDict(state.builtins.get()), name)) return value;
    raise(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace

Ref load_builtin(Id name) { return builtin(str(name)); }

Ref load_global_in(PyObject* globals, PyObject* name) {
    if (Ref value = dict_get(globals, name)) return value;
    return builtin(name);
}

Ref load_global(Id name) { return load_global_in(state.namespace_.get(), str(name)); }

Ref make_path(PyObject* arg) { return call(load_global(Id::Path), arg); }

Ref module_file_path() {
    Ref path_type = load_global(Id::Path);
    return call(path_type, load_global(Id::dunder_file));
}

}  // namespace crenly::core
