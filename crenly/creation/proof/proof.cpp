#include "crenly/creation/proof/proof.hpp"

#include <marshal.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"

namespace crenly::creation::proof {

using namespace crenly::core;

namespace {

// The back-off: after a failed attempt, or a proof that stood fewer uses
// than the wait, the wait doubles, up to max_wait (a proof costs a few
// calls' worth of Python-level steps, so one attempt in max_wait calls costs
// little). A proof must stand at least min_stand uses to count as worth its
// cost: one that stood fewer waits at least that long; a failure, one use.
constexpr std::uint32_t min_stand = 2;
constexpr std::uint32_t max_wait = 256;

/// A name read in a dictionary, by the name's hash: another name of the same
/// hash moves the count too, which is harmless.
struct NameRead {
    PyObject* dict;
    Py_hash_t hash;
    bool operator==(const NameRead&) const = default;
};
struct NameReadHash {
    std::size_t operator()(const NameRead& n) const noexcept {
        return std::hash<const void*>{}(n.dict) ^ static_cast<std::size_t>(n.hash);
    }
};

/// What proofs share: the two watchers, the one count of changes they
/// advance and what they watch; the stamps of the dictionaries watched for
/// any change; each module's code objects as its compiled file defines them,
/// each with the code found equal to it.
class Watchers final : public Slot {
public:
    int dicts = -1, functions = -1;
    std::uint64_t count = 1;  // above 0, which stands for no proof
    std::unordered_set<NameRead, NameReadHash> names;
    std::unordered_set<PyObject*> name_dicts;  // the dictionaries of `names`
    std::unordered_set<PyObject*> kept_functions;
    std::unordered_map<PyObject*, std::uint64_t> stamps;
    std::uint64_t clock = 0;  // the last stamp given
    struct Code {
        Ref module;
        std::string qualname;
        Ref code;
        Ref equal;  // the last function's code found equal to it
    };
    std::vector<Code> codes;

    /// Whether both watchers are held, adding any missing one (another
    /// extension may have taken every slot of its kind).
    bool ready() {
        if (dicts < 0) dicts = PyDict_AddWatcher(on_dict_event);
        if (functions < 0) functions = PyFunction_AddWatcher(on_function_event);
        if (dicts < 0 || functions < 0) PyErr_Clear();
        return dicts >= 0 && functions >= 0;
    }

private:
    void release() override {
        if ((dicts >= 0 && PyDict_ClearWatcher(dicts) < 0) ||
            (functions >= 0 && PyFunction_ClearWatcher(functions) < 0)) {
            PyErr_Clear();
        }
        dicts = functions = -1;
        names.clear();
        name_dicts.clear();
        kept_functions.clear();
        stamps.clear();
        codes.clear();
        ++count;
    }

    static int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key,
                             PyObject* value) noexcept;
    static int on_function_event(PyFunction_WatchEvent event, PyFunctionObject* f,
                                 PyObject* value) noexcept;
};

Watchers watchers;

/// A change of a name some proof read, or of a whole dictionary of such
/// names, moves the count; a change of a stamped dictionary, its stamp.
int Watchers::on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key,
                            PyObject*) noexcept {
    if (auto stamped = watchers.stamps.find(dict); stamped != watchers.stamps.end()) {
        if (event == PyDict_EVENT_DEALLOCATED) {
            watchers.stamps.erase(stamped);
        } else {
            stamped->second = ++watchers.clock;
        }
    }
    if (!watchers.name_dicts.contains(dict)) return 0;
    const bool one_name = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                          event == PyDict_EVENT_DELETED;
    if (one_name && PyUnicode_CheckExact(key) &&
        !watchers.names.contains({dict, PyObject_Hash(key)})) {
        return 0;
    }
    if (event == PyDict_EVENT_DEALLOCATED) watchers.name_dicts.erase(dict);
    ++watchers.count;
    return 0;
}

/// A change of a proved function's code or defaults moves the count.
int Watchers::on_function_event(PyFunction_WatchEvent event, PyFunctionObject* f,
                                PyObject*) noexcept {
    auto* function = reinterpret_cast<PyObject*>(f);
    if (event == PyFunction_EVENT_DESTROY) {
        watchers.kept_functions.erase(function);
    } else if (event != PyFunction_EVENT_CREATE && watchers.kept_functions.contains(function)) {
        ++watchers.count;
    }
    return 0;
}

/// Set while this thread proves, so that a proof never runs inside its own
/// Python code; per thread, so that a child forked meanwhile starts free.
thread_local bool proving = false;

#ifndef _WIN32
/// A forked child proves afresh, whatever its parent's threads were doing.
[[maybe_unused]] const int fork_handler =
    pthread_atfork(nullptr, nullptr, [] { ++watchers.count; });
#endif

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
    require_genuine(PyBytes_Check(data.get()) && PyBytes_GET_SIZE(data.get()) >= 16 &&
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
        require_genuine(is(machinery.get(), "FrozenImporter") ||
                        is(machinery.get(), "SourcelessFileLoader") ||
                        is(Ref(own(PyImport_ImportModule("zipimport"))).get(), "zipimporter"));
        code = own(PyObject_CallMethod(loader.get(), "get_code", "O", name.get()));
    }
    require_genuine(PyCode_Check(code.get()));
    return code;
}

/// Records `code` and every code object inside it as `module`'s own.
void collect_codes(PyObject* module, PyObject* code) {
    const char* qualname = PyUnicode_AsUTF8(reinterpret_cast<PyCodeObject*>(code)->co_qualname);
    if (qualname == nullptr) throw_python_error();
    watchers.codes.push_back({Ref::borrow(module), qualname, Ref::borrow(code), {}});
    PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;  // a tuple
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        if (PyCode_Check(PyTuple_GET_ITEM(consts, i)))
            collect_codes(module, PyTuple_GET_ITEM(consts, i));
    }
}

/// Whether `code` equals a code object that `module`'s compiled file defines
/// as `qualname`; the verdict is kept.
bool is_module_code(PyObject* code, PyObject* module, const char* qualname) {
    if (std::ranges::none_of(watchers.codes,
                             [&](const auto& c) { return c.module.get() == module; })) {
        collect_codes(module, module_code(module).get());
    }
    for (Watchers::Code& c : watchers.codes) {
        if (c.module.get() != module || c.qualname != qualname) continue;
        if (c.equal.get() == code ||
            require_status(PyObject_RichCompareBool(code, c.code.get(), Py_EQ))) {
            c.equal = Ref::borrow(code);
            return true;
        }
    }
    return false;
}

}  // namespace

std::uint64_t stamp(PyObject* dict) {
    if (auto stamped = watchers.stamps.find(dict); stamped != watchers.stamps.end()) {
        return stamped->second;
    }
    // Not watched (yet): a number never given before, so never taken as unchanged.
    const std::uint64_t fresh = ++watchers.clock;
    if (watchers.ready() && PyDict_Watch(watchers.dicts, dict) == 0) {
        watchers.stamps.emplace(dict, fresh);
    }
    PyErr_Clear();
    return fresh;
}

bool Proof::holds() {
    if (!shortcuts_allowed(frames_)) return false;
    if (!used_) return used_ = true, false;  // the first use: the Python-level steps
    uses_ += uses_ < max_wait;
    if (made_at_ == watchers.count) {
        if (uses_ >= wait_) wait_ = 0;  // it stood as long as the wait: reset
        return stands();
    }
    if (made_at_ != 0) {
        // Dropped: when it stood fewer uses than the wait, wait longer.
        if (uses_ < std::max(wait_, min_stand)) back_off(min_stand);
        made_at_ = tried_at_ = 0;
        kept_.clear();  // before any check: releasing may run Python code
        codes_.clear();
    }
    if (!proving && uses_ >= wait_ && tried_at_ != watchers.count) {
        prove();
        if (!shortcuts_allowed(frames_)) return false;  // proving ran Python code
    }
    return stands();
}

bool Proof::still_holds() const { return shortcuts_allowed(frames_) && stands(); }

bool Proof::stands() const noexcept {
    return made_at_ == watchers.count && !local_events_set(codes_) &&
           std::ranges::all_of(kept_, [](const Kept& k) {
               return k.slot == nullptr || *k.slot == k.expected.get();
           });
}

void Proof::back_off(std::uint32_t least) noexcept {
    wait_ = std::min(max_wait, std::max(least, 2 * wait_));
}

void Proof::prove() {
    const std::uint64_t begun_at = watchers.count;
    const std::uint64_t attempt = ++begun_;
    uses_ = 0;
    std::vector<Kept> kept;
    std::vector<PyCodeObject*> codes;
    Prover prover(kept, codes);
    bool made = false, tried = true;
    {
        // Cleared however the proof ends (an interrupt, a failed allocation).
        struct Proving {
            Proving() noexcept { proving = true; }
            ~Proving() { proving = false; }
        } guard;
        try {
            // Without both watchers a change would go unseen: no proof, and
            // another try after the wait (a slot may be free by then).
            tried = watchers.ready();
            if (tried) {
                build_(prover);
                made = true;
            }
        } catch (const NotGenuine&) {
        } catch (const PythonError&) {
            // An interrupt raised by Python code meanwhile is the caller's;
            // the next use proves again.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                uses_ = wait_;
                throw;
            }
            PyErr_Clear();
        }
    }
    // Commits only what is still true: nothing read has changed since the
    // proof began, and no later proof of this shortcut began (on another
    // thread, while this one's Python code ran); one that lost is dropped.
    if (made && watchers.count == begun_at && begun_ == attempt) {
        kept_ = std::move(kept);
        codes_ = std::move(codes);
        made_at_ = begun_at;
        if (prover.commit_) prover.commit_();
        return;
    }
    // A failure waits longer, and is tried again only once the count moves
    // (unless a watcher was missing); a proof overtaken by a change waits
    // longer too (it may be its own Python code that keeps changing it).
    if (!made || watchers.count != begun_at) back_off(1);
    if (!made && tried) tried_at_ = begun_at;
}

void Proof::release() {
    kept_.clear();
    codes_.clear();
    made_at_ = tried_at_ = taken_ = 0;
    wait_ = uses_ = 0;
    used_ = false;
}

PyObject* Prover::keep(PyObject* o) { return kept_.push_back({Ref::borrow(o), nullptr, {}}), o; }

PyObject* Prover::hold(PyObject* o) { return held_.push_back(Ref::borrow(o)), o; }

PyObject* Prover::read(PyObject* dict, PyObject* key) {
    require_genuine(PyDict_CheckExact(dict));
    require_status(PyDict_Watch(watchers.dicts, dict));
    watchers.name_dicts.insert(dict);
    watchers.names.insert({dict, PyObject_Hash(key)});
    PyObject* value = PyDict_GetItemWithError(dict, key);  // borrowed
    if (value == nullptr && PyErr_Occurred()) throw_python_error();
    return value;
}

PyObject* Prover::read(PyObject* dict, const char* key) {
    return read(dict, Ref(own(PyUnicode_InternFromString(key))).get());
}

PyObject* Prover::bound(PyObject* dict, const char* key) {
    PyObject* value = read(dict, key);
    require_genuine(value != nullptr);
    return hold(value);
}

void Prover::absent(PyObject* dict, const char* key) {
    require_genuine(read(dict, key) == nullptr);
}

void Prover::slot(PyObject* owner, PyObject** slot) {
    require_genuine(*slot != nullptr);
    kept_.push_back({Ref::borrow(owner), slot, Ref::borrow(*slot)});
}

void Prover::watch(PyObject* type) {
    require_genuine(PyType_Check(type));
    if (!watched_.insert(type).second) return;
    hold(type);
    // Made abstract by setting __abstractmethods__, which its dictionary reports.
    Ref dict = own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
    read(dict.get(), "__abstractmethods__");
    require_genuine(!(reinterpret_cast<PyTypeObject*>(type)->tp_flags & Py_TPFLAGS_IS_ABSTRACT));
    slot(type, &reinterpret_cast<PyTypeObject*>(type)->tp_mro);
}

PyObject* Prover::attribute(PyObject* type, const char* name, std::size_t start, bool must_exist) {
    watch(type);
    // Held: a lookup may compare keys by Python code, which may replace the MRO.
    Ref mro = Ref::borrow(reinterpret_cast<PyTypeObject*>(type)->tp_mro);
    require_genuine(mro && PyTuple_CheckExact(mro.get()));
    Ref key = own(PyUnicode_InternFromString(name));
    // Each dictionary looked in is watched for the name: one earlier in the
    // MRO that gains it would hide the one found.
    for (Py_ssize_t i = static_cast<Py_ssize_t>(start); i < PyTuple_GET_SIZE(mro.get()); ++i) {
        Ref dict =
            own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
        if (PyObject* value = read(dict.get(), key.get())) return hold(value);
    }
    require_genuine(!must_exist);
    return nullptr;
}

void Prover::runs(PyObject* code) {
    codes_.push_back(reinterpret_cast<PyCodeObject*>(code));
    PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;  // a tuple
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        if (PyCode_Check(PyTuple_GET_ITEM(consts, i))) runs(PyTuple_GET_ITEM(consts, i));
    }
}

void Prover::function(PyObject* f, PyObject* module, const char* qualname) {
    auto* fn = reinterpret_cast<PyFunctionObject*>(f);
    require_genuine(f != nullptr && PyFunction_Check(f) && PyModule_Check(module) &&
                    fn->func_globals == PyModule_GetDict(module) &&
                    fn->func_builtins == PyModule_GetDict(state.builtins.get()) &&
                    PyCode_Check(fn->func_code) &&
                    is_module_code(fn->func_code, module, qualname) &&
                    (fn->func_closure == nullptr || PyTuple_CheckExact(fn->func_closure)));
    hold(f);
    watchers.kept_functions.insert(f);
    runs(fn->func_code);
    for (Py_ssize_t i = 0; fn->func_closure && i < PyTuple_GET_SIZE(fn->func_closure); ++i) {
        PyObject* cell = PyTuple_GET_ITEM(fn->func_closure, i);
        require_genuine(PyCell_Check(cell));
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
    require_genuine(member && Py_TYPE(member.get()) == &PyMemberDescr_Type);
    const PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(member.get())->d_member;
    // The older kind of object member, which staticmethod and property use.
    require_genuine(def->type == Py_T_OBJECT_EX || def->type == _Py_T_OBJECT);
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
