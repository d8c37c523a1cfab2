#include "crenly/module/state.hpp"

#include <initializer_list>

#include "crenly/module/errors.hpp"

namespace crenly::module {

State& state = *new State();

namespace {

struct PoolEntry {
    const char* text;
    bool identifier;
};

constexpr PoolEntry pool_entries[] = {
#define CRENLY_IDENT(id, text) {text, true},
#define CRENLY_TEXT(id, text) {text, false},
    CRENLY_IDENTIFIERS(CRENLY_IDENT){nullptr, false},  // placeholder for identifier_count_
    CRENLY_TEXTS(CRENLY_TEXT)
#undef CRENLY_IDENT
#undef CRENLY_TEXT
};
static_assert(std::size(pool_entries) == pool_size);

/// A new tuple of pool entries.
Ref tuple_of(std::initializer_list<Id> ids) {
    Ref tuple = own(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
    Py_ssize_t i = 0;
    for (Id id : ids) {
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(str(id)));
    }
    return tuple;
}

void set_kwnames(Kw kw, std::initializer_list<Id> ids) {
    state.kwnames[static_cast<std::size_t>(kw)] = tuple_of(ids);
}

}  // namespace

void create_constants() {
    state.empty_tuple = own(PyTuple_New(0));
    state.empty_bytes = own(PyBytes_FromStringAndSize("", 0));
    state.empty_str = own(PyUnicode_FromStringAndSize("", 0));
    for (std::size_t i = 0; i < pool_size; ++i) {
        const PoolEntry& entry = pool_entries[i];
        if (entry.text == nullptr) continue;
        Ref s = entry.identifier ? own(PyUnicode_InternFromString(entry.text))
                                 : own(PyUnicode_FromString(entry.text));
        // Hash now, so that every later dictionary lookup finds it cached.
        if (PyObject_Hash(s.get()) == -1) throw_python_error();
        state.pool[i] = std::move(s);
    }
    state.int0 = own(PyLong_FromLong(0));
    state.int1 = own(PyLong_FromLong(1));
    state.int2 = own(PyLong_FromLong(2));
    state.int3 = own(PyLong_FromLong(3));

    set_kwnames(Kw::mkdir, {Id::parents, Id::exist_ok});
    set_kwnames(Kw::touch, {Id::exist_ok});
    set_kwnames(Kw::parser, {Id::description, Id::formatter_class, Id::epilog});
    set_kwnames(Kw::files, {Id::metavar, Id::nargs, Id::help});
    set_kwnames(Kw::version, {Id::action, Id::version});
    set_kwnames(Kw::debug, {Id::action, Id::help});
    set_kwnames(Kw::notifier, {Id::applicationName, Id::notifications, Id::defaultNotifications,
                               Id::applicationIcon});
    set_kwnames(Kw::notify,
                {Id::noteType, Id::title, Id::description, Id::icon, Id::sticky, Id::priority});
}

void cache_builtins() {
    PyObject* dict = require(PyModule_GetDict(state.builtins.get()));  // borrowed
    auto fetch = [dict](Id id) {
        PyObject* value = PyDict_GetItemWithError(dict, str(id));  // borrowed
        if (value == nullptr) {
            if (PyErr_Occurred()) throw_python_error();
            raise(PyExc_NameError, "name '%U' is not defined", str(id));
        }
        return Ref::borrow(value);
    };
    state.import_error = fetch(Id::ImportError);
    state.print = fetch(Id::print);
    state.open = fetch(Id::open);
    state.sum = fetch(Id::sum);
}

void create_tuples() {
    state.none3 = own(PyTuple_Pack(3, Py_None, Py_None, Py_None));
    state.separators = tuple_of({Id::slash, Id::backslash});
}

void release_state() noexcept {
    State held = std::move(state);  // leaves every Ref of `state` empty
    state.live = false;
}  // `held` drops the objects here

}  // namespace crenly::module
