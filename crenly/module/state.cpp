#include "crenly/module/state.hpp"

#include "crenly/module/errors.hpp"

namespace crenly::module {

State& state = *new State();

namespace {

constexpr const char* pool_texts[] = {
#define CRENLY_TEXT(id, text) text,
    CRENLY_IDENTIFIERS(CRENLY_TEXT)
#undef CRENLY_TEXT
};
static_assert(std::size(pool_texts) == pool_size);

// The enrolled constants, the last enrolled first. Constant-initialised, so
// set before any declaration's constructor runs, whatever the file order.
constinit const Constant* enrolled = nullptr;
constinit std::size_t enrolled_count = 0;
constinit Slot* slots = nullptr;

/// A new str, hashed now so that every later dictionary lookup finds the
/// hash cached.
Ref hashed(Ref text) {
    if (PyObject_Hash(text.get()) == -1) throw_python_error();
    return text;
}

}  // namespace

Constant::Constant() noexcept : next_(enrolled), index_(enrolled_count++) { enrolled = this; }

Slot::Slot() noexcept : next_(slots) { slots = this; }

Ref Text::build() const { return hashed(own(PyUnicode_FromString(utf8_))); }

Ref keyword_tuple(const Id* names, std::size_t size) {
    Ref tuple = own(PyTuple_New(static_cast<Py_ssize_t>(size)));
    for (std::size_t i = 0; i < size; ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(str(names[i])));
    }
    return tuple;
}

void create_constants() {
    state.empty_tuple = own(PyTuple_New(0));
    state.empty_str = own(PyUnicode_FromStringAndSize("", 0));
    for (std::size_t i = 0; i < pool_size; ++i) {
        state.pool[i] = hashed(own(PyUnicode_InternFromString(pool_texts[i])));
    }
    state.int0 = own(PyLong_FromLong(0));
    state.int1 = own(PyLong_FromLong(1));
    state.int2 = own(PyLong_FromLong(2));
    state.constants.resize(enrolled_count);
    for (const Constant* c = enrolled; c != nullptr; c = c->next_) {
        state.constants[c->index_] = c->build();
    }
}

void release_state() {
    {
        State held = std::move(state);  // leaves every Ref of `state` empty
        state.live = false;
    }  // `held` drops the objects here
    for (Slot* slot = slots; slot != nullptr; slot = slot->next_) slot->release();
}

}  // namespace crenly::module
