#include "crenly/creation/proof/proof.hpp"

#include <array>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"

namespace crenly::creation::proof {

using namespace crenly::core;

namespace {

/// The C recursion headroom a shortcut leaves: the Python code it stands
/// for enters the interpreter from C a few levels deep at most.
constexpr int c_frames = 50;

/// The three watchers and the one count of changes they advance. A
/// dictionary change counts only when it touches a name some proof read;
/// every change of a watched class counts, and of any function's code or
/// defaults (they are few, and rare).
class Changes final : public Slot {
public:
    int dicts = -1;
    int types = -1;
    int functions = -1;
    std::uint64_t count = 2;  // a proof at 0 was never used, at 1 used once
    /// The names some proof read, with the dictionary they were read in.
    struct Name {
        Ref dict;
        Ref key;
    };
    std::vector<Name> names;

private:
    void release() override {
        for (const Name& name : names) {
            if (PyDict_Unwatch(dicts, name.dict.get()) < 0) PyErr_Clear();
        }
        if (dicts >= 0 && PyDict_ClearWatcher(dicts) < 0) PyErr_Clear();
        if (types >= 0 && PyType_ClearWatcher(types) < 0) PyErr_Clear();
        if (functions >= 0 && PyFunction_ClearWatcher(functions) < 0) PyErr_Clear();
        dicts = types = functions = -1;
        names.clear();
        ++count;
    }
};

Changes changes;

/// What is known for good: the code objects found to be their module's own
/// definition of a qualified name (the same code under another name is not
/// proved by it), the code that each module's compiled file defines, and
/// sys.monitoring's get_tool.
class Verdicts final : public Slot {
public:
    struct Genuine {
        Ref code;
        Ref module;
        std::string qualname;
    };
    std::vector<Genuine> genuine;
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
        genuine.clear();
        references.clear();
        get_tool.reset();
        get_tool_tried = false;
        for (Ref& id : tool_ids) id.reset();
    }
};

Verdicts verdicts;

/// Set while this thread proves: a use from Python code that a proof runs
/// finds no proof. Per thread, so that a process forked meanwhile by
/// another thread starts without it.
thread_local bool proving = false;

bool is_str_equal(PyObject* a, PyObject* b) noexcept {
    return a == b ||
           (PyUnicode_CheckExact(a) && PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) &&
            PyUnicode_Compare(a, b) == 0);
}

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key,
                  PyObject* /*new_value*/) noexcept {
    // A key that is not an exact str may compare equal to a proved name.
    if ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
         event == PyDict_EVENT_DELETED) &&
        PyUnicode_CheckExact(key)) {
        bool proved = false;
        for (const Changes::Name& name : changes.names) {
            if (name.dict.get() == dict && is_str_equal(key, name.key.get())) proved = true;
        }
        if (!proved) return 0;
    }
    ++changes.count;
    return 0;
}

int on_type_event(PyTypeObject* /*type*/) noexcept {
    ++changes.count;
    return 0;
}

int on_function_event(PyFunction_WatchEvent event, PyFunctionObject* /*function*/,
                      PyObject* /*new_value*/) noexcept {
    if (event == PyFunction_EVENT_MODIFY_CODE || event == PyFunction_EVENT_MODIFY_DEFAULTS ||
        event == PyFunction_EVENT_MODIFY_KWDEFAULTS) {
        ++changes.count;
    }
    return 0;
}

#ifndef _WIN32
/// A forked child proves afresh, whatever the parent's threads were doing.
void after_fork_in_child() noexcept { ++changes.count; }

const int fork_handler = pthread_atfork(nullptr, nullptr, after_fork_in_child);
#endif

/// Whether the pending error is no failure of a proof but an interrupt that
/// Python code raised meanwhile (KeyboardInterrupt from a signal handler,
/// SystemExit): the caller's, as it would be from the Python-level steps.
bool interrupt_pending() noexcept { return !PyErr_ExceptionMatches(PyExc_Exception); }

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
    if (!verdicts.get_tool_tried) {
        verdicts.get_tool_tried = true;
        Ref monitoring = Ref::borrow(PySys_GetObject("monitoring"));
        PyObject* f = monitoring ? PyObject_GetAttrString(monitoring.get(), "get_tool") : nullptr;
        if (f == nullptr) PyErr_Clear();
        Ref get_tool = Ref::steal(f);
        if (get_tool && Prover::is_c_function(get_tool.get(), "sys.monitoring", "get_tool") &&
            PyCFunction_GET_FLAGS(get_tool.get()) == METH_O) {
            for (std::size_t i = 0; i < verdicts.tool_ids.size(); ++i) {
                verdicts.tool_ids[i] = Ref::steal(PyLong_FromSize_t(i));
                if (!verdicts.tool_ids[i]) {
                    PyErr_Clear();
                    return nullptr;
                }
            }
            verdicts.get_tool = std::move(get_tool);
        }
    }
    return verdicts.get_tool ? PyCFunction_GET_FUNCTION(verdicts.get_tool.get()) : nullptr;
}

/// Whether a sys.monitoring tool is registered (true as well when that
/// cannot be told).
bool monitoring_present() {
    PyCFunction get_tool = get_tool_function();
    if (get_tool == nullptr) return true;
    PyObject* module = PyCFunction_GET_SELF(verdicts.get_tool.get());
    for (const Ref& id : verdicts.tool_ids) {
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

/// Whether `code` is `module`'s own definition of `qualname`: equal to a
/// code object that the module's compiled file defines under that name.
bool is_module_code(PyObject* code, PyObject* module, const char* qualname) {
    for (const Verdicts::Genuine& known : verdicts.genuine) {
        if (known.code.get() == code && known.module.get() == module &&
            known.qualname == qualname) {
            return true;
        }
    }
    PyObject* codes = nullptr;
    for (const Verdicts::Reference& r : verdicts.references) {
        if (r.module.get() == module) codes = r.codes.get();
    }
    if (codes == nullptr) {
        Ref collected = own(PyDict_New());
        collect_codes(module_code(module).get(), collected.get());
        codes = collected.get();
        verdicts.references.push_back({Ref::borrow(module), std::move(collected)});
    }
    Ref references = dict_get(codes, Ref(own(PyUnicode_FromString(qualname))).get());
    for (Py_ssize_t i = 0; references && i < PyList_GET_SIZE(references.get()); ++i) {
        if (require_status(
                PyObject_RichCompareBool(code, PyList_GET_ITEM(references.get(), i), Py_EQ)) == 1) {
            verdicts.genuine.push_back({Ref::borrow(code), Ref::borrow(module), qualname});
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

/// Makes the three watchers once.
void add_watchers() {
    if (changes.dicts < 0) changes.dicts = require_status(PyDict_AddWatcher(on_dict_event));
    if (changes.types < 0) changes.types = require_status(PyType_AddWatcher(on_type_event));
    if (changes.functions < 0) {
        changes.functions = require_status(PyFunction_AddWatcher(on_function_event));
    }
}

}  // namespace

bool shortcuts_allowed(int frames) {
    const PyThreadState* thread = PyThreadState_Get();
    if (thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr ||
        thread->py_recursion_remaining < frames || thread->c_recursion_remaining < c_frames) {
        return false;
    }
    return !audit_hooks_present() && !monitoring_present();
}

// ---- Proof

bool Proof::holds() {
    if (!shortcuts_allowed(frames_)) return false;
    if (made_at_ != changes.count) {
        if (proving) return false;
        prove();
        // Proving may have run Python code: from here on, none.
        if (!shortcuts_allowed(frames_)) return false;
    }
    if (!proved_ || made_at_ != changes.count) return false;
    for (const Kept& k : kept_) {
        if (k.slot != nullptr && *k.slot != k.expected.get()) return false;
    }
    return true;
}

void Proof::prove() {
    proved_ = false;
    if (made_at_ == 0) {
        made_at_ = 1;  // the Python-level steps; a proof from the next use on
        return;
    }
    made_at_ = changes.count;
    std::vector<Kept> kept;
    proving = true;
    try {
        add_watchers();
        Prover prover(kept);
        build_(prover);
        proved_ = true;
    } catch (const NotGenuine&) {
    } catch (const PythonError&) {
        if (interrupt_pending()) {
            proving = false;
            throw;
        }
        PyErr_Clear();
    }
    proving = false;
    kept_ = std::move(kept);
}

void Proof::release() {
    kept_.clear();
    made_at_ = 0;
    proved_ = false;
    taken_ = 0;
}

// ---- Prover

PyObject* Prover::keep(PyObject* o) {
    kept_.push_back({Ref::borrow(o), nullptr, {}});
    return o;
}

PyObject* Prover::hold(PyObject* o) {
    held_.push_back(Ref::borrow(o));
    return o;
}

PyObject* Prover::bound(PyObject* dict, const char* key) {
    PyObject* value = read(dict, key);
    expect(value != nullptr);
    return hold(value);
}

void Prover::absent(PyObject* dict, const char* key) { expect(read(dict, key) == nullptr); }

PyObject* Prover::read(PyObject* dict, const char* key) {
    expect(PyDict_CheckExact(dict));
    Ref name = own(PyUnicode_InternFromString(key));
    bool watched = false;
    for (const Changes::Name& n : changes.names) {
        if (n.dict.get() == dict && n.key.get() == name.get()) watched = true;
    }
    if (!watched) {
        require_status(PyDict_Watch(changes.dicts, dict));
        changes.names.push_back({Ref::borrow(dict), Ref::borrow(name.get())});
    }
    PyObject* value = PyDict_GetItemWithError(dict, name.get());  // borrowed
    if (value == nullptr && PyErr_Occurred()) throw_python_error();
    return value;
}

void Prover::slot(PyObject* owner, PyObject** slot) {
    expect(*slot != nullptr);
    kept_.push_back({Ref::borrow(owner), slot, Ref::borrow(*slot)});
}

void Prover::keep_type(PyObject* o) {
    // ob_type is a PyTypeObject*: compared as the object it points to.
    slot(o, reinterpret_cast<PyObject**>(&o->ob_type));
}

void Prover::watch(PyObject* type) {
    expect(PyType_Check(type));
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    // A class without a valid version tag reports no change: one is
    // assigned here (to its bases too), after which any change of it or of
    // a base is reported once, and moves the count.
    expect(!(cls->tp_flags & Py_TPFLAGS_IS_ABSTRACT) &&
           require_status(PyType_Watch(changes.types, type)) == 0 &&
           PyUnstable_Type_AssignVersionTag(cls) == 1);
    hold(type);
}

PyObject* Prover::attribute(PyObject* type, const char* name, std::size_t start, bool must_exist) {
    watch(type);
    // Held: a lookup may compare keys by Python code, which may replace the MRO.
    Ref mro = Ref::borrow(reinterpret_cast<PyTypeObject*>(type)->tp_mro);
    expect(mro && PyTuple_CheckExact(mro.get()));
    Ref key = own(PyUnicode_InternFromString(name));
    for (Py_ssize_t i = static_cast<Py_ssize_t>(start); i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        Ref dict = own(PyType_GetDict(base));
        if (Ref value = dict_get(dict.get(), key.get())) return hold(value.get());
    }
    expect(!must_exist);
    return nullptr;
}

void Prover::function(PyObject* f, PyObject* module, const char* qualname) {
    expect(f != nullptr && PyFunction_Check(f) && PyModule_Check(module) &&
           PyFunction_GET_GLOBALS(f) == PyModule_GetDict(module));
    auto* fn = reinterpret_cast<PyFunctionObject*>(f);
    expect(fn->func_builtins == PyModule_GetDict(state.builtins.get()) &&
           PyCode_Check(fn->func_code) && is_module_code(fn->func_code, module, qualname));
    hold(f);
    // Its code and defaults are watched; its cells are not.
    if (fn->func_closure != nullptr) {
        expect(PyTuple_CheckExact(fn->func_closure));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fn->func_closure); ++i) {
            PyObject* cell = PyTuple_GET_ITEM(fn->func_closure, i);
            expect(PyCell_Check(cell));
            slot(cell, &reinterpret_cast<PyCellObject*>(cell)->ob_ref);
        }
    }
}

PyObject* Prover::unwrap(PyObject* wrapper) {
    PyTypeObject* type = Py_TYPE(wrapper);
    const char* member = type == &PyProperty_Type                                      ? "fget"
                         : type == &PyStaticMethod_Type || type == &PyClassMethod_Type ? "__func__"
                                                                                       : nullptr;
    expect(member != nullptr);
    auto** field = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(wrapper) +
                                                member_offset(type, member));
    slot(wrapper, field);
    return *field;
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

}  // namespace crenly::creation::proof
