#include "crenly/creation/proof/proof.hpp"

#include <marshal.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"

namespace crenly::creation::proof {

using namespace crenly::core;

namespace {

/// What proofs share: the three watchers and the one count of changes they
/// advance; each module's code objects as its compiled file defines them,
/// each with the code found equal to it; sys.monitoring.get_tool (None:
/// unusable).
class Records final : public Slot {
public:
    int dicts = -1, types = -1, functions = -1;
    std::uint64_t changes = 2;  // above the marks of a proof never used or used once
    // (dictionary, hash of a name): the names read. By hash, another name of
    // the same hash moves the count too, which is harmless.
    std::set<std::pair<PyObject*, Py_hash_t>> names;
    struct Code {
        Ref module;
        std::string qualname;
        Ref code;
        Ref equal;  // the last function's code found equal to it
    };
    std::vector<Code> codes;
    Ref get_tool;

private:
    void release() override {
        if ((dicts >= 0 && PyDict_ClearWatcher(dicts) < 0) ||
            (types >= 0 && PyType_ClearWatcher(types) < 0) ||
            (functions >= 0 && PyFunction_ClearWatcher(functions) < 0)) {
            PyErr_Clear();
        }
        dicts = types = functions = -1;
        names.clear();
        codes.clear();
        get_tool.reset();
        ++changes;
    }
};

Records records;

/// Set while this thread proves, so that a proof never runs inside its own
/// Python code; per thread, so that a child forked meanwhile starts free.
thread_local bool proving = false;

/// A change of a name some proof read, or of a whole dictionary, moves the count.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
    if ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
         event == PyDict_EVENT_DELETED) &&
        PyUnicode_CheckExact(key) && !records.names.contains({dict, PyObject_Hash(key)})) {
        return 0;
    }
    ++records.changes;
    return 0;
}

/// A change of a function's code or defaults (of any function: few, and
/// rare) moves the count.
int on_function_event(PyFunction_WatchEvent event, PyFunctionObject*, PyObject*) noexcept {
    records.changes += event != PyFunction_EVENT_CREATE && event != PyFunction_EVENT_DESTROY;
    return 0;
}

#ifndef _WIN32
/// A forked child proves afresh, whatever its parent's threads were doing.
[[maybe_unused]] const int fork_handler =
    pthread_atfork(nullptr, nullptr, [] { ++records.changes; });
#endif

/// Whether a sys.monitoring tool is registered (or that cannot be told), by
/// the interpreter's own sys.monitoring.get_tool, found once.
bool monitoring_present() {
    if (!records.get_tool) {
        Ref monitoring = Ref::borrow(PySys_GetObject("monitoring"));
        Ref f =
            Ref::steal(monitoring ? PyObject_GetAttrString(monitoring.get(), "get_tool") : nullptr);
        PyErr_Clear();
        const bool usable = Prover::is_c_function(f.get(), "sys.monitoring", "get_tool") &&
                            PyCFunction_GET_FLAGS(f.get()) == METH_O;
        records.get_tool = usable ? std::move(f) : Ref::borrow(Py_None);
    }
    // Raw references: this runs three times a file, and an owner's release
    // would ask each time whether the thread is attached.
    PyObject* f = records.get_tool.get();
    for (long id = 0; f != Py_None && id < 6; ++id) {
        PyObject* tool = PyLong_FromLong(id);  // a preallocated small int: cannot fail
        PyObject* name = PyCFunction_GET_FUNCTION(f)(PyCFunction_GET_SELF(f), tool);
        const bool none = name == Py_None;
        Py_DECREF(tool);
        Py_XDECREF(name);
        if (!none) return PyErr_Clear(), true;  // a tool, or an error
    }
    return f == Py_None;
}

/// The code in the compiled file `cached` of the source file `origin`, read
/// through their SourceFileLoader `loader`, where the file's header names the
/// source's modification time and size, so that an import would take it for
/// the source; null where there is no such file.
Ref compiled_code(PyObject* loader, PyObject* origin, PyObject* cached) {
    if (!PyUnicode_Check(cached)) return {};
    Ref data = Ref::steal(PyObject_CallMethod(loader, "get_data", "O", cached));
    if (!data) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw_python_error();
        return PyErr_Clear(), Ref();
    }
    Ref stats = own(PyObject_CallMethod(loader, "path_stats", "O", origin));
    Ref mtime = own(PyNumber_Long(Ref(own(PyMapping_GetItemString(stats.get(), "mtime"))).get()));
    Ref size = own(PyMapping_GetItemString(stats.get(), "size"));
    expect(PyBytes_Check(data.get()) && PyBytes_GET_SIZE(data.get()) >= 16 &&
           PyLong_Check(size.get()));
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.get()));
    auto word = [&](int i) {  // the header's words are little-endian
        return std::uint32_t{bytes[4 * i]} | std::uint32_t{bytes[4 * i + 1]} << 8 |
               std::uint32_t{bytes[4 * i + 2]} << 16 | std::uint32_t{bytes[4 * i + 3]} << 24;
    };
    // The magic number, no flags (a file checked by the source's hash is not
    // taken), the source's time and size, each modulo 2**32.
    if (word(0) != static_cast<std::uint32_t>(PyImport_GetMagicNumber()) || word(1) != 0 ||
        word(2) != static_cast<std::uint32_t>(PyLong_AsUnsignedLongLongMask(mtime.get())) ||
        word(3) != static_cast<std::uint32_t>(PyLong_AsUnsignedLongLongMask(size.get()))) {
        return {};
    }
    return own(PyMarshal_ReadObjectFromString(PyBytes_AS_STRING(data.get()) + 16,
                                              PyBytes_GET_SIZE(data.get()) - 16));
}

/// The code of `module` as its own file defines it, read without side
/// effects: through its loader, except that a source file's compiled file is
/// read as it is where it is current (its loader would write one where there
/// is none), and its source is compiled here where it is not.
Ref module_code(PyObject* module) {
    Ref spec = own(PyObject_GetAttrString(module, "__spec__"));
    Ref name = own(PyObject_GetAttrString(spec.get(), "name"));
    Ref loader = own(PyObject_GetAttrString(spec.get(), "loader"));
    Ref machinery = own(PyImport_ImportModule("importlib.machinery"));
    auto is = [&](PyObject* in, const char* type) {
        Ref kind = own(PyObject_GetAttrString(in, type));
        return kind.get() == loader.get() ||
               kind.get() == reinterpret_cast<PyObject*>(Py_TYPE(loader.get()));
    };
    Ref code;
    if (is(machinery.get(), "SourceFileLoader")) {
        Ref origin = own(PyObject_GetAttrString(spec.get(), "origin"));
        code = compiled_code(loader.get(), origin.get(),
                             Ref(own(PyObject_GetAttrString(spec.get(), "cached"))).get());
        if (!code) {
            Ref source = own(PyObject_CallMethod(loader.get(), "get_data", "O", origin.get()));
            code = own(PyObject_CallMethod(loader.get(), "source_to_code", "OO", source.get(),
                                           origin.get()));
        }
    } else {
        expect(is(machinery.get(), "FrozenImporter") ||
               is(machinery.get(), "SourcelessFileLoader") ||
               is(Ref(own(PyImport_ImportModule("zipimport"))).get(), "zipimporter"));
        code = own(PyObject_CallMethod(loader.get(), "get_code", "O", name.get()));
    }
    expect(PyCode_Check(code.get()));
    return code;
}

/// Records `code` and every code object inside it as `module`'s own.
void collect_codes(PyObject* module, PyObject* code) {
    const char* qualname = PyUnicode_AsUTF8(reinterpret_cast<PyCodeObject*>(code)->co_qualname);
    if (qualname == nullptr) throw_python_error();
    records.codes.push_back({Ref::borrow(module), qualname, Ref::borrow(code), {}});
    PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;  // a tuple
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        if (PyCode_Check(PyTuple_GET_ITEM(consts, i)))
            collect_codes(module, PyTuple_GET_ITEM(consts, i));
    }
}

/// Whether `code` equals a code object that `module`'s compiled file defines
/// as `qualname`; the verdict is kept.
bool is_module_code(PyObject* code, PyObject* module, const char* qualname) {
    if (std::ranges::none_of(records.codes,
                             [&](const auto& c) { return c.module.get() == module; })) {
        collect_codes(module, module_code(module).get());
    }
    for (Records::Code& c : records.codes) {
        if (c.module.get() != module || c.qualname != qualname) continue;
        if (c.equal.get() == code ||
            require_status(PyObject_RichCompareBool(code, c.code.get(), Py_EQ))) {
            c.equal = Ref::borrow(code);
            return true;
        }
    }
    return false;
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
    return !monitoring_present();
}

bool Proof::holds() {
    if (!shortcuts_allowed(frames_)) return false;
    if (made_at_ != records.changes && !proving) {
        prove();
        if (!shortcuts_allowed(frames_)) return false;  // proving ran Python code
    }
    bool holds = proved_ && made_at_ == records.changes;
    for (const Kept& k : kept_) holds = holds && (k.slot == nullptr || *k.slot == k.expected.get());
    return holds;
}

void Proof::prove() {
    proved_ = false;
    made_at_ = made_at_ == 0 ? 1 : records.changes;  // the first use: the Python-level steps
    if (made_at_ == 1) return;
    std::vector<Kept> kept;
    // Cleared however the proof ends (an interrupt, a failed allocation).
    struct Proving {
        Proving() noexcept { proving = true; }
        ~Proving() { proving = false; }
    } guard;
    try {
        if (records.dicts < 0) {
            records.dicts = require_status(PyDict_AddWatcher(on_dict_event));
            records.types = require_status(PyType_AddWatcher([](PyTypeObject*) noexcept {
                ++records.changes;
                return 0;
            }));
            records.functions = require_status(PyFunction_AddWatcher(on_function_event));
        }
        Prover prover(kept);
        build_(prover);
        proved_ = true;
    } catch (const NotGenuine&) {
    } catch (const PythonError&) {
        // An interrupt raised by Python code meanwhile is the caller's.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
    kept_ = std::move(kept);
}

void Proof::release() {
    kept_.clear();
    made_at_ = taken_ = 0;
    proved_ = false;
}

PyObject* Prover::keep(PyObject* o) { return kept_.push_back({Ref::borrow(o), nullptr, {}}), o; }

PyObject* Prover::hold(PyObject* o) { return held_.push_back(Ref::borrow(o)), o; }

PyObject* Prover::read(PyObject* dict, const char* key) {
    expect(PyDict_CheckExact(dict));
    Ref name = own(PyUnicode_InternFromString(key));
    require_status(PyDict_Watch(records.dicts, dict));
    records.names.insert({dict, PyObject_Hash(name.get())});
    PyObject* value = PyDict_GetItemWithError(dict, name.get());  // borrowed
    if (value == nullptr && PyErr_Occurred()) throw_python_error();
    return value;
}

PyObject* Prover::bound(PyObject* dict, const char* key) {
    PyObject* value = read(dict, key);
    expect(value != nullptr);
    return hold(value);
}

void Prover::absent(PyObject* dict, const char* key) { expect(read(dict, key) == nullptr); }

void Prover::slot(PyObject* owner, PyObject** slot) {
    expect(*slot != nullptr);
    kept_.push_back({Ref::borrow(owner), slot, Ref::borrow(*slot)});
}

void Prover::watch(PyObject* type) {
    // A class reports its next change only while it has a valid version tag:
    // one is assigned here (to its bases too).
    expect(PyType_Check(type) &&
           !(reinterpret_cast<PyTypeObject*>(type)->tp_flags & Py_TPFLAGS_IS_ABSTRACT) &&
           require_status(PyType_Watch(records.types, type)) == 0 &&
           PyUnstable_Type_AssignVersionTag(reinterpret_cast<PyTypeObject*>(type)) == 1);
    hold(type);
}

PyObject* Prover::attribute(PyObject* type, const char* name, std::size_t start, bool must_exist) {
    watch(type);
    // Held: a lookup may compare keys by Python code, which may replace the MRO.
    Ref mro = Ref::borrow(reinterpret_cast<PyTypeObject*>(type)->tp_mro);
    expect(mro && PyTuple_CheckExact(mro.get()));
    Ref key = own(PyUnicode_InternFromString(name));
    for (Py_ssize_t i = static_cast<Py_ssize_t>(start); i < PyTuple_GET_SIZE(mro.get()); ++i) {
        Ref dict =
            own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
        if (Ref value = dict_get(dict.get(), key.get())) return hold(value.get());
    }
    expect(!must_exist);
    return nullptr;
}

void Prover::function(PyObject* f, PyObject* module, const char* qualname) {
    auto* fn = reinterpret_cast<PyFunctionObject*>(f);
    expect(f != nullptr && PyFunction_Check(f) && PyModule_Check(module) &&
           fn->func_globals == PyModule_GetDict(module) &&
           fn->func_builtins == PyModule_GetDict(state.builtins.get()) &&
           PyCode_Check(fn->func_code) && is_module_code(fn->func_code, module, qualname) &&
           (fn->func_closure == nullptr || PyTuple_CheckExact(fn->func_closure)));
    hold(f);
    for (Py_ssize_t i = 0; fn->func_closure && i < PyTuple_GET_SIZE(fn->func_closure); ++i) {
        PyObject* cell = PyTuple_GET_ITEM(fn->func_closure, i);
        expect(PyCell_Check(cell));
        slot(cell, &reinterpret_cast<PyCellObject*>(cell)->ob_ref);
    }
}

PyObject* Prover::unwrap(PyObject* wrapper) {
    // The function's field, as the wrapper type's own member descriptor tells.
    PyTypeObject* type = Py_TYPE(wrapper);
    const char* name = type == &PyProperty_Type                                      ? "fget"
                       : type == &PyStaticMethod_Type || type == &PyClassMethod_Type ? "__func__"
                                                                                     : "";
    Ref dict = own(PyType_GetDict(type));
    Ref member = dict_get(dict.get(), Ref(own(PyUnicode_FromString(name))).get());
    expect(member && Py_TYPE(member.get()) == &PyMemberDescr_Type);
    const PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(member.get())->d_member;
    expect(def->type == Py_T_OBJECT_EX || def->type == 6 /* T_OBJECT */);
    auto** field = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(wrapper) + def->offset);
    slot(wrapper, field);
    return *field;
}

bool Prover::is_c_function(PyObject* f, const char* module, const char* name) {
    PyObject* self = f != nullptr && PyCFunction_Check(f) ? PyCFunction_GET_SELF(f) : nullptr;
    PyModuleDef* def = self != nullptr && PyModule_Check(self) ? PyModule_GetDef(self) : nullptr;
    if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, module) != 0) {
        return false;
    }
    for (const PyMethodDef* m = def->m_methods; m != nullptr && m->ml_name != nullptr; ++m) {
        if (m == reinterpret_cast<PyCFunctionObject*>(f)->m_ml) {
            return std::strcmp(m->ml_name, name) == 0;
        }
    }
    return false;
}

}  // namespace crenly::creation::proof
