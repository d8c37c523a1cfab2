#include "crenly/core/names.hpp"

#include "crenly/core/errors.hpp"
#include "crenly/core/state.hpp"

namespace crenly::core {

Pool& pool = *new Pool();

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

/// A new str, hashed now so that every later dictionary lookup finds the
/// hash cached.
Ref hashed(Ref text) {
    if (PyObject_Hash(text.get()) == -1) throw_python_error();
    return text;
}

/// Empties the pool with the state.
class PoolSlot final : public Slot {
    void release() override {
        Pool held = std::move(pool);  // leaves the pool empty before anything is dropped
        pool.constants.clear();
    }
};

PoolSlot pool_slot;

}  // namespace

Constant::Constant() noexcept : next_(enrolled), index_(enrolled_count++) { enrolled = this; }

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
        pool.names[i] = hashed(own(PyUnicode_InternFromString(pool_texts[i])));
    }
    state.int0 = own(PyLong_FromLong(0));
    state.int1 = own(PyLong_FromLong(1));
    state.int2 = own(PyLong_FromLong(2));
    pool.constants.resize(enrolled_count);
    for (const Constant* c = enrolled; c != nullptr; c = c->next_) {
        pool.constants[c->index_] = c->build();
    }
}

}  // namespace crenly::core
