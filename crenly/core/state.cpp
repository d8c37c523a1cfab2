#include "crenly/core/state.hpp"

namespace crenly::core {

State& state = *new State();

namespace {

// The enrolled slots, the last enrolled first. Constant-initialised, so set
// before any declaration's constructor runs, whatever the file order.
constinit Slot* slots = nullptr;

}  // namespace

Slot::Slot() noexcept : next_(slots) { slots = this; }

void release_state() {
    {
        State held = std::move(state);  // leaves every Ref of `state` empty
        state.live = false;
    }  // `held` drops the objects here
    for (Slot* slot = slots; slot != nullptr; slot = slot->next_) slot->release();
}

}  // namespace crenly::core
