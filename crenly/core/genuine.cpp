#include "crenly/core/genuine.hpp"

#include <array>
#include <cstring>
#include <string>

#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"

namespace crenly::core {

namespace {

/// The C recursion headroom a shortcut leaves: the Python code it stands
/// for enters the interpreter from C a few levels deep at most.
constexpr int c_frames = 50;

/// What every proof shares: the watcher of their dictionaries with its count
/// of changes, the code objects found to be their module's own, the
/// reference code of each module read so far, and sys.monitoring's get_tool.
class Shared final : public Slot {
public:
    int watcher = -1;           // of dictionaries
    int function_watcher = -1;  // of functions
    std::uint64_t changes = 1;
    std::vector<Ref> watched;
    /// A code object found to be `module`'s own definition of `qualname`:
    /// the same code under another name is not proved by it.
    struct Genuine {
        Ref code;
        Ref module;
        std::string qualname;
    };
    std::vector<Genuine> genuine_codes;
    struct Reference {
        Ref module;
        Ref codes;  // {qualname: [code, ...]}
    };
    std::vector<Reference> references;
    Ref get_tool;
    bool get_tool_tried = false;
    std::array<Ref, 6> tool_ids;

private:
    void release() override {
        if (watcher >= 0) {
            for (const Ref& dict : watched) {
                if (PyDict_Unwatch(watcher, dict.get()) < 0) PyErr_Clear();
            }
            if (PyDict_ClearWatcher(watcher) < 0) PyErr_Clear();
            watcher = -1;
        }
        if (function_watcher >= 0) {
            if (PyFunction_ClearWatcher(function_watcher) < 0) PyErr_Clear();
            function_watcher = -1;
        }
        watched.clear();
        genuine_codes.clear();
        references.clear();
        get_tool.reset();
        get_tool_tried = false;
        for (Ref& id : tool_ids) id.reset();
        ++changes;
    }
};

Shared shared;

/// Whether the pending error is no failure of a proof but an interrupt that
/// Python code raised meanwhile (KeyboardInterrupt from a signal handler,
/// SystemExit): the caller's, as it would be from the Python-level steps.
bool interrupt_pending() noexcept { return !PyErr_ExceptionMatches(PyExc_Exception); }

/// Any change to a watched dictionary: every proof reads its bindings again.
int on_dict_event(PyDict_WatchEvent /*event*/, PyObject* /*dict*/, PyObject* /*key*/,
                  PyObject* /*new_value*/) noexcept {
    ++shared.changes;
    return 0;
}

/// A function's code, defaults or keyword defaults set anew (of any
/// function: they are few, and rare): every proof reads again.
int on_function_event(PyFunction_WatchEvent event, PyFunctionObject* /*function*/,
                      PyObject* /*new_value*/) noexcept {
    if (event == PyFunction_EVENT_MODIFY_CODE || event == PyFunction_EVENT_MODIFY_DEFAULTS ||
        event == PyFunction_EVENT_MODIFY_KWDEFAULTS) {
        ++shared.changes;
    }
    return 0;
}

/// Whether an audit hook is installed. The probe's arguments cannot be
/// built, so no hook is ever called with it: with no hook, PySys_Audit
/// returns at once without building them.
bool audit_hooks_present() noexcept {
    if (PySys_Audit("crenly.probe", "O", static_cast<PyObject*>(nullptr)) == 0) return false;
    PyErr_Clear();
    return true;
}

/// sys.monitoring.get_tool, the interpreter's own, found once.
PyCFunction get_tool_function() {
    if (!shared.get_tool_tried) {
        shared.get_tool_tried = true;
        Ref monitoring = Ref::borrow(PySys_GetObject("monitoring"));
        PyObject* f = monitoring ? PyObject_GetAttrString(monitoring.get(), "get_tool") : nullptr;
        if (f == nullptr) PyErr_Clear();
        Ref get_tool = Ref::steal(f);
        if (get_tool && Prover::is_c_function(get_tool.get(), "sys.monitoring", "get_tool") &&
            PyCFunction_GET_FLAGS(get_tool.get()) == METH_O) {
            for (std::size_t i = 0; i < shared.tool_ids.size(); ++i) {
                shared.tool_ids[i] = Ref::steal(PyLong_FromSize_t(i));
                if (!shared.tool_ids[i]) {
                    PyErr_Clear();
                    return nullptr;
                }
            }
            shared.get_tool = std::move(get_tool);
        }
    }
    return shared.get_tool ? PyCFunction_GET_FUNCTION(shared.get_tool.get()) : nullptr;
}

/// Whether a sys.monitoring tool is registered (true as well when that
/// cannot be told).
bool monitoring_present() {
    PyCFunction get_tool = get_tool_function();
    if (get_tool == nullptr) return true;
    PyObject* module = PyCFunction_GET_SELF(shared.get_tool.get());
    for (const Ref& id : shared.tool_ids) {
        PyObject* name = get_tool(module, id.get());
        if (name == nullptr) {
            PyErr_Clear();
            return true;
        }
        const bool registered = name != Py_None;
        Py_DECREF(name);
        if (registered) return true;
    }
    return false;
}

/// The code of `module` as its own compiled file defines it, read without
/// side effects: through the module's loader, except that a source file's
/// compiled file is read as it is (the source loader would write one where
/// there is none). Throws NotGenuine when there is no such file.
Ref module_code(PyObject* module) {
    Ref spec = own(PyObject_GetAttrString(module, "__spec__"));
    Ref name = own(PyObject_GetAttrString(spec.get(), "name"));
    Ref loader = own(PyObject_GetAttrString(spec.get(), "loader"));
    Ref machinery = own(PyImport_ImportModule("importlib.machinery"));
    Ref source = own(PyObject_GetAttrString(machinery.get(), "SourceFileLoader"));
    Ref sourceless = own(PyObject_GetAttrString(machinery.get(), "SourcelessFileLoader"));
    Ref frozen = own(PyObject_GetAttrString(machinery.get(), "FrozenImporter"));
    Ref zipimport = own(PyImport_ImportModule("zipimport"));
    Ref zip = own(PyObject_GetAttrString(zipimport.get(), "zipimporter"));
    PyObject* kind = reinterpret_cast<PyObject*>(Py_TYPE(loader.get()));
    if (kind == source.get()) {
        Ref cached = own(PyObject_GetAttrString(spec.get(), "cached"));
        expect(PyUnicode_Check(cached.get()));
        loader = call(sourceless, name, cached);
    } else {
        expect(loader.get() == frozen.get() || kind == sourceless.get() || kind == zip.get());
    }
    Ref get_code = own(PyObject_GetAttrString(loader.get(), "get_code"));
    Ref code = call(get_code, name);
    expect(PyCode_Check(code.get()));
    return code;
}

/// Adds every code object inside `code` to `into` ({qualname: [code, ...]}).
void collect_codes(PyObject* code, PyObject* into) {
    PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;  // a tuple
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        PyObject* inner = PyTuple_GET_ITEM(consts, i);
        if (!PyCode_Check(inner)) continue;
        PyObject* qualname = reinterpret_cast<PyCodeObject*>(inner)->co_qualname;
        Ref same = dict_get(into, qualname);
        if (!same) {
            same = own(PyList_New(0));
            require_status(PyDict_SetItem(into, qualname, same.get()));
        }
        require_status(PyList_Append(same.get(), inner));
        collect_codes(inner, into);
    }
}

/// The code objects that `module`'s own compiled file defines as `qualname`
/// (a list; empty when none).
Ref reference_codes(PyObject* module, const char* qualname) {
    PyObject* codes = nullptr;
    for (const Shared::Reference& r : shared.references) {
        if (r.module.get() == module) codes = r.codes.get();
    }
    if (codes == nullptr) {
        Ref collected = own(PyDict_New());
        collect_codes(module_code(module).get(), collected.get());
        codes = collected.get();
        shared.references.push_back({Ref::borrow(module), std::move(collected)});
    }
    Ref key = own(PyUnicode_FromString(qualname));
    Ref found = dict_get(codes, key.get());
    return found ? std::move(found) : own(PyList_New(0));
}

/// Whether `code` is known to be `module`'s own definition of `qualname`.
bool known_genuine(PyObject* code, PyObject* module, const char* qualname) noexcept {
    for (const Shared::Genuine& known : shared.genuine_codes) {
        if (known.code.get() == code && known.module.get() == module &&
            known.qualname == qualname) {
            return true;
        }
    }
    return false;
}

/// Where the object member `name` of the built-in type `type` lies (the
/// function inside a property, staticmethod or classmethod).
Py_ssize_t member_offset(PyTypeObject* type, const char* name) {
    Ref dict = own(PyType_GetDict(type));
    Ref descr = dict_get(dict.get(), Ref(own(PyUnicode_FromString(name))).get());
    expect(descr && Py_TYPE(descr.get()) == &PyMemberDescr_Type);
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
    constexpr int object_member = 6;  // T_OBJECT, as these types declare the member
    expect(member->type == object_member || member->type == Py_T_OBJECT_EX);
    return member->offset;
}

/// Counts a proof or a reading of the bindings under way.
class Busy {
public:
    explicit Busy(int& count) noexcept : count_(count) { ++count_; }
    ~Busy() {
        if (thread_attached()) --count_;
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    int& count_;
};

}  // namespace

bool shortcuts_allowed(int frames) {
    const PyThreadState* thread = PyThreadState_Get();
    if (thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr ||
        thread->py_recursion_remaining < frames || thread->c_recursion_remaining < c_frames) {
        return false;
    }
    return !audit_hooks_present() && !monitoring_present();
}

bool other_threads() noexcept {
    PyThreadState* thread = PyThreadState_Get();
    PyThreadState* head = PyInterpreterState_ThreadHead(PyThreadState_GetInterpreter(thread));
    return head != thread || PyThreadState_Next(head) != nullptr;
}

// ---- Proof

bool Proof::licensed() {
    if (busy_ != 0) return false;  // called from Python code that a proof or a reading runs
    if (!proved_) {
        if (!worth_proving() || !shortcuts_allowed(frames_) || !prove()) return false;
    }
    refresh();
    // Proving and reading may have run Python code: from here on, none.
    if (shortcuts_allowed(frames_) && current()) return true;
    // Held but not current: most often a patch in place, which the
    // comparisons see until it is undone. Now and then the proof is made
    // afresh, for objects replaced for good by genuine ones (a reload).
    if (++failures_ % 256 == 0 && read_changes_ != attempt_changes_) forget();
    return false;
}

bool Proof::worth_proving() noexcept {
    // The first use takes the Python-level steps; then an attempt whenever
    // a watched dictionary changed since the last one, or after 256 uses.
    if (++uses_ == 1) return false;
    if (attempt_changes_ != shared.changes || uses_ % 256 == 0) return true;
    return false;
}

bool Proof::prove() {
    Busy busy(busy_);
    forget();
    attempt_changes_ = shared.changes;
    try {
        if (shared.watcher < 0) shared.watcher = require_status(PyDict_AddWatcher(on_dict_event));
        if (shared.function_watcher < 0) {
            shared.function_watcher = require_status(PyFunction_AddWatcher(on_function_event));
        }
        Prover prover(*this);
        build_(prover);
        proved_ = true;
        read_changes_ = 0;  // read them again now
        return true;
    } catch (const NotGenuine&) {
    } catch (const PythonError&) {
        if (interrupt_pending()) {
            forget();
            throw;
        }
        PyErr_Clear();
    }
    forget();
    return false;
}

void Proof::refresh() {
    if (read_changes_ == shared.changes) return;
    Busy busy(busy_);
    const std::uint64_t at = shared.changes;
    bool right = true;
    for (const Binding& b : bindings_) {
        // Borrowed and compared only. Comparing keys may run Python code:
        // a change it makes moves the count, and current() then fails.
        PyObject* value = PyDict_GetItemWithError(b.dict.get(), b.key.get());
        if (value == nullptr && PyErr_Occurred()) {
            if (interrupt_pending()) throw_python_error();  // read_changes_ stays behind
            PyErr_Clear();
            right = false;
            break;
        }
        if (value != b.expected.get()) {
            right = false;
            break;
        }
    }
    for (const Field& f : watched_fields_) {
        if (*f.slot != f.expected) right = false;
    }
    bindings_right_ = right;
    read_changes_ = at;
}

bool Proof::current() const noexcept {
    if (!proved_ || read_changes_ != shared.changes || !bindings_right_) return false;
    for (const Field& f : fields_) {
        if (*f.slot != f.expected) return false;
    }
    return true;
}

void Proof::forget() noexcept {
    proved_ = false;
    bindings_right_ = false;
    bindings_.clear();
    watched_fields_.clear();
    fields_.clear();
    held_.clear();
}

void Proof::release() {
    forget();
    taken_ = 0;
    uses_ = 0;
    failures_ = 0;
    attempt_changes_ = 0;
    read_changes_ = 0;
}

// ---- Prover

void Prover::watch(PyObject* dict) {
    expect(PyDict_CheckExact(dict));
    for (const Ref& w : shared.watched) {
        if (w.get() == dict) return;
    }
    require_status(PyDict_Watch(shared.watcher, dict));
    shared.watched.push_back(Ref::borrow(dict));
}

PyObject* Prover::hold(PyObject* o) {
    proof_.held_.push_back(Ref::borrow(o));
    return o;
}

PyObject* Prover::bound(PyObject* dict, const char* key) {
    watch(dict);
    Ref name = own(PyUnicode_InternFromString(key));
    Ref value = dict_get(dict, name.get());
    expect(static_cast<bool>(value));
    PyObject* kept = value.get();  // held by the binding from now on
    proof_.bindings_.push_back({Ref::borrow(dict), std::move(name), std::move(value)});
    return kept;
}

void Prover::absent(PyObject* dict, const char* key) {
    watch(dict);
    Ref name = own(PyUnicode_InternFromString(key));
    expect(!dict_get(dict, name.get()));
    proof_.bindings_.push_back({Ref::borrow(dict), std::move(name), {}});
}

void Prover::keep_type(PyObject* o) {
    // ob_type is a PyTypeObject*: compared as the object it points to.
    field(o, reinterpret_cast<PyObject**>(&o->ob_type));
}

void Prover::field(PyObject* owner, PyObject** slot) {
    // Once per slot (every lookup on a class records its MRO): the first
    // record stands, and a later change of the slot fails the check.
    for (const Proof::Field& f : proof_.fields_) {
        if (f.slot == slot) return;
    }
    proof_.fields_.push_back({Ref::borrow(owner), slot, hold(*slot)});
}

void Prover::watched_field(PyObject* owner, PyObject** slot) {
    proof_.watched_fields_.push_back({Ref::borrow(owner), slot, hold(*slot)});
}

PyObject* Prover::attribute(PyObject* type, const char* name, std::size_t start, bool must_exist) {
    expect(PyType_Check(type));
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    // Held: a lookup may compare keys by Python code, which may replace the MRO.
    Ref mro = Ref::borrow(cls->tp_mro);
    expect(mro && PyTuple_CheckExact(mro.get()));
    field(type, &cls->tp_mro);
    Ref key = own(PyUnicode_InternFromString(name));
    for (Py_ssize_t i = static_cast<Py_ssize_t>(start); i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        Ref dict = own(PyType_GetDict(base));
        Ref value = dict_get(dict.get(), key.get());
        // A class that cannot change needs no watching.
        const bool fixed = (base->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) != 0;
        if (value) {
            if (!fixed) bound(dict.get(), name);
            return hold(value.get());
        }
        if (!fixed) absent(dict.get(), name);
    }
    expect(!must_exist);
    return nullptr;
}

void Prover::function(PyObject* f, PyObject* module, const char* qualname) {
    expect(f != nullptr && PyFunction_Check(f) && PyModule_Check(module) &&
           PyFunction_GET_GLOBALS(f) == PyModule_GetDict(module));
    auto* fn = reinterpret_cast<PyFunctionObject*>(f);
    expect(fn->func_builtins == PyModule_GetDict(state.builtins.get()));
    PyObject* code = fn->func_code;
    expect(PyCode_Check(code));
    if (!known_genuine(code, module, qualname)) {
        Ref references = reference_codes(module, qualname);
        bool equal = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(references.get()) && !equal; ++i) {
            equal = require_status(PyObject_RichCompareBool(
                        code, PyList_GET_ITEM(references.get(), i), Py_EQ)) == 1;
        }
        expect(equal);
        shared.genuine_codes.push_back({Ref::borrow(code), Ref::borrow(module), qualname});
    }
    // Its code and defaults are watched (a change moves the count of
    // changes), its cells compared at every check.
    watched_field(f, &fn->func_code);
    watched_field(f, &fn->func_defaults);
    watched_field(f, &fn->func_kwdefaults);
    if (fn->func_closure != nullptr) {
        expect(PyTuple_CheckExact(fn->func_closure));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fn->func_closure); ++i) {
            PyObject* cell = PyTuple_GET_ITEM(fn->func_closure, i);
            expect(PyCell_Check(cell));
            field(cell, &reinterpret_cast<PyCellObject*>(cell)->ob_ref);
        }
    }
}

PyObject* Prover::unwrap(PyObject* wrapper) {
    PyTypeObject* type = Py_TYPE(wrapper);
    const char* member = type == &PyProperty_Type                                      ? "fget"
                         : type == &PyStaticMethod_Type || type == &PyClassMethod_Type ? "__func__"
                                                                                       : nullptr;
    expect(member != nullptr);
    auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(wrapper) +
                                               member_offset(type, member));
    expect(*slot != nullptr);
    field(wrapper, slot);
    return *slot;
}

bool Prover::is_c_function(PyObject* f, const char* module, const char* name) {
    if (f == nullptr || !PyCFunction_Check(f)) return false;
    PyObject* self = PyCFunction_GET_SELF(f);  // borrowed
    if (self == nullptr || !PyModule_Check(self)) return false;
    PyModuleDef* def = PyModule_GetDef(self);
    if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, module) != 0 ||
        def->m_methods == nullptr) {
        return false;
    }
    const PyMethodDef* ml = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
    for (const PyMethodDef* m = def->m_methods; m->ml_name != nullptr; ++m) {
        if (m == ml) return std::strcmp(m->ml_name, name) == 0;
    }
    return false;
}

}  // namespace crenly::core
