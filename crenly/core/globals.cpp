#include "crenly/core/globals.hpp"

#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"

namespace crenly::core {

Ref load_builtin(Id name) {
    PyObject* builtins = require(PyModule_GetDict(state.builtins.get()));  // borrowed
    if (Ref value = dict_get(builtins, str(name))) return value;
    raise(PyExc_NameError, "name '%U' is not defined", str(name));
}

Ref load_global(Id name) {
    if (Ref value = dict_get(state.namespace_.get(), str(name))) return value;
    return load_builtin(name);
}

void store_global(Id name, PyObject* value) {
    require_status(PyDict_SetItem(state.namespace_.get(), str(name), value));
}

void cache_builtins() {
    state.import_error = load_builtin(Id::ImportError);
    state.print = load_builtin(Id::print);
    state.open = load_builtin(Id::open);
    state.sum = load_builtin(Id::sum);
}

Ref make_path(PyObject* arg) { return call(load_global(Id::Path), arg); }

Ref module_file_path() {
    Ref path_type = load_global(Id::Path);
    return call(path_type, load_global(Id::dunder_file));
}

}  // namespace crenly::core
