#include "crenly/creation/proof/observers.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "crenly/core/errors.hpp"
#include "crenly/core/state.hpp"
#include "crenly/creation/proof/proof.hpp"

namespace crenly::creation::proof {

using namespace crenly::core;

namespace {

#if PY_VERSION_HEX >= 0x030D0000
// The events that a tool sets for all code: up to RERAISE, the last that the
// interpreter keeps apart (those after it are set through CALL and BRANCH).
constexpr std::size_t global_event_kinds = PY_MONITORING_EVENT_RERAISE + 1;

/// Every event a tool can set for all code.
constexpr auto monitored_events = [] {
    std::array<std::uint8_t, global_event_kinds> events{};
    for (std::size_t e = 0; e < events.size(); ++e) events[e] = static_cast<std::uint8_t>(e);
    return events;
}();

/// What the check of sys.monitoring last learnt: the interpreter's record of
/// the tools of each event, at its monitoring version then.
class Monitoring final : public Slot {
public:
    std::uint64_t version = 0;
    PyMonitoringState events[global_event_kinds] = {};

private:
    void release() override {
        version = 0;
        std::ranges::fill(events, PyMonitoringState{});
    }
};
#else
// The tool ids of sys.monitoring that Python code may use (0 to 5; the
// interpreter keeps the next two for sys.setprofile and sys.settrace).
constexpr long monitoring_tools = 6;

/// What the check of sys.monitoring keeps: its get_events (None: unusable),
/// and what it last learnt, at the monitoring version then.
class Monitoring final : public Slot {
public:
    Ref get_events;
    std::uint64_t version = 0;
    bool known = false, set = true;

private:
    void release() override {
        get_events.reset();
        known = false;
    }
};
#endif

Monitoring monitoring;

/// The tools of each event set locally on `code`, a byte an event, or none.
/// They are the first member of the code's monitoring data, made at its first
/// instrumentation: public up to 3.13; from 3.14 on the headers keep the
/// struct to themselves, with the same first member, one byte for each local
/// event (up to STOP_ITERATION).
std::span<const std::uint8_t> local_tools(const PyCodeObject* code) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    constexpr std::size_t local_event_kinds = PY_MONITORING_EVENT_STOP_ITERATION + 1;
    const auto* data = reinterpret_cast<const std::uint8_t*>(code->_co_monitoring);
    if (data == nullptr) return {};
    return {data, local_event_kinds};
#else
    const _PyCoMonitoringData* data = code->_co_monitoring;
    if (data == nullptr) return {};
    return data->local_monitors.tools;
#endif
}

#if PY_VERSION_HEX < 0x030D0000
/// Asks sys.monitoring.get_events for every tool a user may have: whether
/// any has events set (or that cannot be told).
bool ask_get_events() {
    if (!monitoring.get_events) {
        Ref sys_monitoring = Ref::borrow(PySys_GetObject("monitoring"));
        Ref f = Ref::steal(
            sys_monitoring ? PyObject_GetAttrString(sys_monitoring.get(), "get_events") : nullptr);
        PyErr_Clear();
        const bool usable = Prover::is_c_function(f.get(), "sys.monitoring", "get_events") &&
                            PyCFunction_GET_FLAGS(f.get()) == METH_O;
        monitoring.get_events = usable ? std::move(f) : Ref::borrow(Py_None);
    }
    // Raw references: this runs three times a file, and an owner's release
    // would ask each time whether the thread is attached.
    PyObject* f = monitoring.get_events.get();
    if (f == Py_None) return true;
    for (long id = 0; id < monitoring_tools; ++id) {
        PyObject* tool = PyLong_FromLong(id);  // a preallocated small int: cannot fail
        PyObject* events = PyCFunction_GET_FUNCTION(f)(PyCFunction_GET_SELF(f), tool);
        const bool none = events == state.int0.get();  // 0, the preallocated small int
        Py_DECREF(tool);
        Py_XDECREF(events);
        if (!none) return PyErr_Clear(), true;  // events, or an error
    }
    return false;
}
#endif

/// Whether sys.monitoring has events set for any tool, registered or not (a
/// tool freed with its events set still observes), or that cannot be told.
/// The interpreter's monitoring version moves whenever they change: asked
/// again only then.
bool global_events_set() {
#if PY_VERSION_HEX >= 0x030D0000
    // The interpreter's record of the tools of each event, copied when the
    // version has moved.
    if (PyMonitoring_EnterScope(monitoring.events, &monitoring.version, monitored_events.data(),
                                std::ssize(monitored_events)) < 0) {
        return PyErr_Clear(), true;
    }
    return std::ranges::any_of(monitoring.events,
                               [](const PyMonitoringState& s) { return s.active; });
#else
    // 3.12 has no public version, but instruments the code of every frame
    // that runs to the current one, the caller's too, whenever it moves.
    PyFrameObject* frame = PyEval_GetFrame();  // borrowed
    if (frame == nullptr) return PyErr_Clear(), ask_get_events();
    PyCodeObject* code = PyFrame_GetCode(frame);
    const std::uint64_t version = code->_co_instrumentation_version;
    Py_DECREF(code);
    if (version != monitoring.version || !monitoring.known) {
        monitoring.set = ask_get_events();
        monitoring.version = version;
        monitoring.known = true;
    }
    return monitoring.set;
#endif
}

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 on the interpreter bounds C recursion by the stack pointer: its
// check (Py_EnterRecursiveCall) fails below a soft limit that lies two margins
// of at least 2048 pointers above the end of the thread's stack, and is fatal
// one margin lower. Asked again a step deeper each time it held, a step being
// half a margin, it tells how much stack is left without reaching either end.
constexpr std::size_t stack_step = 1024 * sizeof(void*);
constexpr int stack_steps = 4;  // a few times what Python code entered from C uses

#if defined(__GNUC__) || defined(__clang__)
#define CRENLY_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define CRENLY_NOINLINE __declspec(noinline)
#else
#define CRENLY_NOINLINE
#endif

CRENLY_NOINLINE bool step_down(int steps);

/// Whether the check holds here and `steps` steps of stack below this frame.
CRENLY_NOINLINE bool stack_left(int steps) {
    if (Py_EnterRecursiveCall("") != 0) return PyErr_Clear(), false;
    Py_LeaveRecursiveCall();
    return steps == 0 || step_down(steps);
}

/// `stack_left(steps - 1)` from a frame one step deeper (its own frame holds
/// the step, so nothing is checked from there before the check above held).
CRENLY_NOINLINE bool step_down(int steps) {
    [[maybe_unused]] volatile char step[stack_step];  // volatile: its stores stay
    step[0] = 0;
    const bool left = stack_left(steps - 1);
    step[1] = 0;  // the frame outlives the call: no tail call reuses it
    return left;
}
#endif

}  // namespace

bool shortcuts_allowed(int frames) {
    const PyThreadState* thread = PyThreadState_Get();
    // (Python code enters the interpreter from C a few levels deep at most.)
    if (thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr ||
        thread->py_recursion_remaining < frames) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030E0000
    // While a RecursionError is raised the check lets calls past the soft limit
    // (down to the fatal one): no step is taken then.
    if (thread->recursion_headroom != 0 || !stack_left(stack_steps)) return false;
#else
    if (thread->c_recursion_remaining < 50) return false;
#endif
    // An audit hook: the probe's arguments cannot be built, so no hook ever
    // sees it; without a hook PySys_Audit returns at once.
    if (PySys_Audit("crenly.probe", "O", static_cast<PyObject*>(nullptr)) != 0) {
        return PyErr_Clear(), false;
    }
    return !global_events_set();
}

/// Whether any of `codes` has local sys.monitoring events set for any tool.
bool local_events_set(std::span<PyCodeObject* const> codes) noexcept {
    return std::ranges::any_of(codes, [](const PyCodeObject* code) {
        return std::ranges::any_of(local_tools(code),
                                   [](std::uint8_t tools) { return tools != 0; });
    });
}

}  // namespace crenly::creation::proof
