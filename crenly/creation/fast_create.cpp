#include "crenly/creation/fast_create.hpp"

#ifdef _WIN32

namespace crenly::creation {

// Windows keeps the Python-level steps.
bool create_fast(PyObject* /*self*/, PyObject* /*filepath*/) { return false; }

}  // namespace crenly::creation

#else

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "crenly/creation/file_creator.hpp"
#include "crenly/module/console.hpp"
#include "crenly/module/function.hpp"
#include "crenly/module/globals.hpp"
#include "crenly/module/protocol.hpp"
#include "crenly/module/text_kind.hpp"

namespace crenly::creation {

using namespace crenly::module;

namespace {

// ---- What the native road stands for
//
// The road stands for `Path(filepath)`, `.parent.mkdir(parents=True,
// exist_ok=True)`, `.is_dir()`, `.touch(exist_ok=True)`, `str()` and
// `.absolute()` of pathlib's own path class, and the os functions those
// call. They are proved genuine once (the baseline: every function defined
// by pathlib or posixpath under its own name, every C function that of its
// own module, every builtin the interpreter's own), and from then on found
// unchanged at every call: the dictionaries that hold them are watched, the
// path class's version tag changes with any class attribute of its MRO, and
// the fields that functions and wrappers carry (code, defaults, cells, the
// function inside a property) are compared one by one.

/// A dictionary entry that must hold `expected` (that very object), or be
/// absent when `expected` is empty.
struct Binding {
    Ref dict;
    Ref key;
    Ref expected;
};

/// A field of an object that must hold `expected`.
struct Field {
    Ref owner;  // keeps the object of `slot` alive
    PyObject** slot;
    Ref expected;
};

/// A class attribute that a lookup on the path class, starting at `start`
/// in its MRO, must find.
struct ClassAttribute {
    Ref name;
    std::size_t start;
    Ref expected;
};

/// The current directory's text, decoded as os.getcwd decodes it, and
/// whether the path class leaves it as it is; kept while the directory's
/// bytes stay the same.
struct Cwd {
    std::string bytes;
    Ref text;
    bool normal = false;
};

struct Genuine {
    bool proved = false;  // the baseline below holds
    bool dirty = true;    // a watched dictionary changed since the bindings were checked
    bool bindings_hold = false;
    int watcher = -1;
    unsigned int tag = 0;  // the path class's version tag when its attributes were last found right
    unsigned long calls_since_attempt = 0;
    Ref path_type;   // pathlib.Path
    Ref posix_path;  // the class of Path(str)
    std::vector<Ref> watched;
    std::vector<Binding> bindings;
    std::vector<Field> fields;
    std::vector<ClassAttribute> attributes;
    Cwd cwd;
};

/// The road's state while the module's state holds its capsule
/// (state.fast_create), else null.
Genuine* live_road = nullptr;

/// Drops the road's state with its capsule (when the module's state is
/// released): the dictionaries are no longer watched.
void drop_road(PyObject* capsule) noexcept {
    auto* g = static_cast<Genuine*>(PyCapsule_GetPointer(capsule, nullptr));
    if (g == nullptr) {
        PyErr_Clear();
        return;
    }
    if (g->watcher >= 0) {
        for (const Ref& dict : g->watched) {
            if (PyDict_Unwatch(g->watcher, dict.get()) < 0) PyErr_Clear();
        }
        if (PyDict_ClearWatcher(g->watcher) < 0) PyErr_Clear();
    }
    if (live_road == g) live_road = nullptr;
    delete g;
}

/// The road's state, made on first use and kept in the module's state.
Genuine& road() {
    if (live_road == nullptr) {
        auto* g = new Genuine();
        PyObject* capsule = PyCapsule_New(g, nullptr, drop_road);
        if (capsule == nullptr) {
            delete g;
            throw_python_error();
        }
        state.fast_create = Ref::steal(capsule);
        live_road = g;
    }
    return *live_road;
}

/// Any change to a watched dictionary: the bindings are checked again at
/// the next call.
int on_dict_event(PyDict_WatchEvent /*event*/, PyObject* /*dict*/, PyObject* /*key*/,
                  PyObject* /*new_value*/) noexcept {
    if (live_road != nullptr) live_road->dirty = true;
    return 0;
}

/// Thrown while proving: something is not what pathlib made.
struct NotGenuine {};

void expect(bool condition) {
    if (!condition) throw NotGenuine{};
}

Ref interned(const char* text) { return own(PyUnicode_InternFromString(text)); }

/// Whether `f` is the C function `name` of the module `module`: an entry of
/// that module's own method table.
bool is_c_function(PyObject* f, const char* module, const char* name) {
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

/// Where the object member `name` of the built-in type `type` lies (the
/// function inside a property, staticmethod or classmethod).
Py_ssize_t member_offset(PyTypeObject* type, const char* name) {
    Ref dict = own(PyType_GetDict(type));
    Ref key = interned(name);
    Ref descr = dict_get(dict.get(), key.get());
    expect(descr && Py_TYPE(descr.get()) == &PyMemberDescr_Type);
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
    constexpr int object_member = 6;  // T_OBJECT, as these types declare the member
    expect(member->type == object_member || member->type == Py_T_OBJECT_EX);
    return member->offset;
}

/// Builds the baseline into `g`, throwing NotGenuine (or PythonError) when
/// something is not genuine.
class Prover {
public:
    explicit Prover(Genuine& g) : g_(g) {}

    void watch(PyObject* dict) {
        expect(PyDict_CheckExact(dict));
        for (const Ref& w : g_.watched) {
            if (w.get() == dict) return;
        }
        require_status(PyDict_Watch(g_.watcher, dict));
        g_.watched.push_back(Ref::borrow(dict));
    }

    /// `dict[key]` must stay `expected` (absent when null); it is now.
    void bind(PyObject* dict, const char* key, PyObject* expected) {
        Ref name = interned(key);
        expect(dict_get(dict, name.get()).get() == expected);
        g_.bindings.push_back({Ref::borrow(dict), std::move(name), Ref::borrow(expected)});
    }

    /// `dict[key]`, which must be there and stay.
    PyObject* bound(PyObject* dict, const char* key) {
        Ref name = interned(key);
        Ref value = dict_get(dict, name.get());
        expect(static_cast<bool>(value));
        PyObject* kept = value.get();  // held by the binding from now on
        g_.bindings.push_back({Ref::borrow(dict), std::move(name), std::move(value)});
        return kept;
    }

    void field(PyObject* owner, PyObject** slot) {
        g_.fields.push_back({Ref::borrow(owner), slot, Ref::borrow(*slot)});
    }

    /// `f` is a function defined in the module of `globals` as `qualname`,
    /// with the builtins `builtins`: its code, defaults and cells must stay.
    void function(PyObject* f, PyObject* globals, const std::string& qualname, PyObject* builtins) {
        expect(f != nullptr && PyFunction_Check(f) && PyFunction_GET_GLOBALS(f) == globals);
        auto* fn = reinterpret_cast<PyFunctionObject*>(f);
        expect(fn->func_builtins == builtins && PyCode_Check(fn->func_code));
        PyObject* name = reinterpret_cast<PyCodeObject*>(fn->func_code)->co_qualname;
        expect(PyUnicode_Check(name) &&
               PyUnicode_CompareWithASCIIString(name, qualname.c_str()) == 0);
        field(f, &fn->func_code);
        field(f, &fn->func_defaults);
        field(f, &fn->func_kwdefaults);
        if (fn->func_closure != nullptr) {
            expect(PyTuple_CheckExact(fn->func_closure));
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fn->func_closure); ++i) {
                PyObject* cell = PyTuple_GET_ITEM(fn->func_closure, i);
                expect(PyCell_Check(cell));
                field(cell, &reinterpret_cast<PyCellObject*>(cell)->ob_ref);
            }
        }
    }

    /// The function inside the wrapper `w` of type `type` (its member at `offset`).
    PyObject* unwrap(PyObject* w, PyTypeObject* type, Py_ssize_t offset) {
        expect(Py_TYPE(w) == type);
        auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(w) + offset);
        expect(*slot != nullptr);
        field(w, slot);
        return *slot;
    }

private:
    Genuine& g_;
};

enum class Kind { function, static_method, class_method, property, member, flavour };

struct AttributeSpec {
    const char* name;
    std::size_t start;  // index in the MRO where the lookup starts
    std::size_t owner;  // index in the MRO of the class that defines it
    Kind kind;
};

// MRO of the path class: PosixPath, Path, PurePosixPath, PurePath, object.
constexpr std::size_t posix_path_index = 0, path_index = 1, pure_posix_index = 2, pure_index = 3;

constexpr AttributeSpec attribute_specs[] = {
    {"__new__", 0, path_index, Kind::static_method},
    {"__init__", 0, path_index, Kind::function},
    {"__init__", pure_posix_index, pure_index, Kind::function},  // super().__init__ from Path
    {"mkdir", 0, path_index, Kind::function},
    {"is_dir", 0, path_index, Kind::function},
    {"is_file", 0, path_index, Kind::function},
    {"stat", 0, path_index, Kind::function},
    {"touch", 0, path_index, Kind::function},
    {"absolute", 0, path_index, Kind::function},
    {"__str__", 0, pure_index, Kind::function},
    {"__fspath__", 0, pure_index, Kind::function},
    {"_load_parts", 0, pure_index, Kind::function},
    {"with_segments", 0, pure_index, Kind::function},
    {"_from_parsed_parts", 0, pure_index, Kind::function},
    {"is_absolute", 0, pure_index, Kind::function},
    {"_parse_path", 0, pure_index, Kind::class_method},
    {"_format_parsed_parts", 0, pure_index, Kind::class_method},
    {"drive", 0, pure_index, Kind::property},
    {"root", 0, pure_index, Kind::property},
    {"_tail", 0, pure_index, Kind::property},
    {"parent", 0, pure_index, Kind::property},
    {"_raw_paths", 0, pure_index, Kind::member},
    {"_drv", 0, pure_index, Kind::member},
    {"_root", 0, pure_index, Kind::member},
    {"_tail_cached", 0, pure_index, Kind::member},
    {"_str", 0, pure_index, Kind::member},
    {"_flavour", 0, pure_posix_index, Kind::flavour},
};

/// What a lookup of `name` on the classes of `mro` from `start` on finds,
/// or empty.
Ref lookup_from(PyObject* mro, std::size_t start, PyObject* name) {
    for (Py_ssize_t i = static_cast<Py_ssize_t>(start); i < PyTuple_GET_SIZE(mro); ++i) {
        auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (cls->tp_dict == nullptr) return {};
        if (Ref value = dict_get(cls->tp_dict, name)) return value;
    }
    return {};
}

/// The instances of the path class get and set attributes the ordinary way.
bool ordinary_attributes(PyTypeObject* cls) {
    return cls->tp_getattro == PyObject_GenericGetAttr &&
           cls->tp_setattro == PyObject_GenericSetAttr;
}

void prove_classes(Prover& p, Genuine& g, PyObject* pathlib_dict, PyObject* posixpath,
                   PyObject* builtins) {
    PyObject* posix = p.bound(pathlib_dict, "PosixPath");
    PyObject* path = p.bound(pathlib_dict, "Path");
    PyObject* pure_posix = p.bound(pathlib_dict, "PurePosixPath");
    PyObject* pure = p.bound(pathlib_dict, "PurePath");
    for (PyObject* cls : {posix, path, pure_posix, pure}) expect(Py_IS_TYPE(cls, &PyType_Type));
    auto* posix_type = reinterpret_cast<PyTypeObject*>(posix);
    PyObject* mro = posix_type->tp_mro;
    expect(mro != nullptr && PyTuple_CheckExact(mro) && PyTuple_GET_SIZE(mro) == 5);
    PyObject* const order[] = {posix, path, pure_posix, pure,
                               reinterpret_cast<PyObject*>(&PyBaseObject_Type)};
    for (std::size_t i = 0; i < 5; ++i)
        expect(PyTuple_GET_ITEM(mro, static_cast<Py_ssize_t>(i)) == order[i]);
    expect(ordinary_attributes(posix_type));

    const Py_ssize_t static_offset = member_offset(&PyStaticMethod_Type, "__func__");
    const Py_ssize_t class_offset = member_offset(&PyClassMethod_Type, "__func__");
    const Py_ssize_t property_offset = member_offset(&PyProperty_Type, "fget");
    // The function an attribute of `kind` is or holds (a staticmethod,
    // classmethod or property wraps pathlib's own function).
    auto function_of = [&](Kind kind, PyObject* value) {
        switch (kind) {
            case Kind::static_method:
                return p.unwrap(value, &PyStaticMethod_Type, static_offset);
            case Kind::class_method:
                return p.unwrap(value, &PyClassMethod_Type, class_offset);
            case Kind::property:
                return p.unwrap(value, &PyProperty_Type, property_offset);
            default:
                return value;
        }
    };
    for (const AttributeSpec& spec : attribute_specs) {
        Ref name = interned(spec.name);
        Ref found = lookup_from(mro, spec.start, name.get());
        PyObject* value = found.get();
        PyObject* owner = order[spec.owner];
        expect(value != nullptr &&
               value ==
                   dict_get(reinterpret_cast<PyTypeObject*>(owner)->tp_dict, name.get()).get());
        const std::string qualname =
            std::string(reinterpret_cast<PyTypeObject*>(owner)->tp_name) + "." + spec.name;
        switch (spec.kind) {
            case Kind::member:
                expect(Py_TYPE(value) == &PyMemberDescr_Type &&
                       reinterpret_cast<PyDescrObject*>(value)->d_type ==
                           reinterpret_cast<PyTypeObject*>(owner));
                break;
            case Kind::flavour:
                expect(value == posixpath);
                break;
            default:
                p.function(function_of(spec.kind, value), pathlib_dict, qualname, builtins);
                break;
        }
        g.attributes.push_back({std::move(name), spec.start, std::move(found)});
    }
    g.path_type = Ref::borrow(path);
    g.posix_path = Ref::borrow(posix);
}

/// The names of builtins that the functions of the road use, with the
/// interpreter's own objects (null: a C function of the builtins module).
struct BuiltinSpec {
    const char* name;
    PyObject* object;
};

void prove_builtins(Prover& p, PyObject* builtins, PyObject* pathlib_dict,
                    PyObject* posixpath_dict) {
    const BuiltinSpec specs[] = {
        {"AttributeError", PyExc_AttributeError},
        {"FileNotFoundError", PyExc_FileNotFoundError},
        {"OSError", PyExc_OSError},
        {"ValueError", PyExc_ValueError},
        {"TypeError", PyExc_TypeError},
        {"bool", reinterpret_cast<PyObject*>(&PyBool_Type)},
        {"object", reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
        {"str", reinterpret_cast<PyObject*>(&PyUnicode_Type)},
        {"super", reinterpret_cast<PyObject*>(&PySuper_Type)},
        {"type", reinterpret_cast<PyObject*>(&PyType_Type)},
        {"map", reinterpret_cast<PyObject*>(&PyMap_Type)},
        {"bytes", reinterpret_cast<PyObject*>(&PyBytes_Type)},
        {"len", nullptr},
        {"isinstance", nullptr},
        {"getattr", nullptr},
    };
    for (const BuiltinSpec& spec : specs) {
        PyObject* value = p.bound(builtins, spec.name);
        expect(spec.object != nullptr ? value == spec.object
                                      : is_c_function(value, "builtins", spec.name));
        // No module global hides it.
        p.bind(pathlib_dict, spec.name, nullptr);
        p.bind(posixpath_dict, spec.name, nullptr);
    }
}

/// A module bound as `name` in `dict`, which must stay; its dictionary is watched.
PyObject* module_dict(Prover& p, PyObject* dict, const char* name) {
    PyObject* module = p.bound(dict, name);
    expect(PyModule_CheckExact(module));
    PyObject* module_dict = PyModule_GetDict(module);  // borrowed
    p.watch(module_dict);
    return module_dict;
}

bool equals_int(PyObject* o, long value) {
    if (o == nullptr || !PyLong_CheckExact(o)) return false;
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) throw_python_error();
    return v == value;
}

bool equals_text(PyObject* o, const char* text) {
    return o != nullptr && PyUnicode_CheckExact(o) &&
           PyUnicode_CompareWithASCIIString(o, text) == 0;
}

/// Whether the file system's encoding is UTF-8 with surrogate escapes, so
/// that a "/" or "." byte of an encoded path is that character and nothing else.
bool utf8_file_system() {
    Ref encoding = call(require(PySys_GetObject("getfilesystemencoding")));
    Ref errors = call(require(PySys_GetObject("getfilesystemencodeerrors")));
    return equals_text(encoding.get(), "utf-8") && equals_text(errors.get(), "surrogateescape");
}

void prove(Genuine& g) {
    Prover p(g);
    expect(utf8_file_system());
    p.watch(state.namespace_.get());
    Ref pathlib = Ref::steal(PyImport_GetModule(str(Id::pathlib)));
    if (!pathlib && PyErr_Occurred()) throw_python_error();
    expect(pathlib && PyModule_CheckExact(pathlib.get()));
    PyObject* pathlib_dict = PyModule_GetDict(pathlib.get());  // borrowed
    p.watch(pathlib_dict);

    PyObject* os = module_dict(p, pathlib_dict, "os");
    PyObject* posixpath = module_dict(p, pathlib_dict, "posixpath");
    PyObject* sys = module_dict(p, pathlib_dict, "sys");
    p.bound(pathlib_dict, "ntpath");
    Ref posixpath_name = interned("posixpath");
    Ref posixpath_module = dict_get(pathlib_dict, posixpath_name.get());

    // The builtins of pathlib's functions.
    PyObject* path = p.bound(pathlib_dict, "Path");
    expect(PyType_Check(path));
    Ref mkdir_name = interned("mkdir");
    Ref mkdir = dict_get(reinterpret_cast<PyTypeObject*>(path)->tp_dict, mkdir_name.get());
    expect(mkdir && PyFunction_Check(mkdir.get()));
    // Borrowed from mkdir, which Path's dictionary (bound above) keeps.
    PyObject* builtins = reinterpret_cast<PyFunctionObject*>(mkdir.get())->func_builtins;
    expect(builtins != nullptr && PyDict_CheckExact(builtins));
    p.watch(builtins);

    prove_classes(p, g, pathlib_dict, posixpath_module.get(), builtins);
    p.bind(state.namespace_.get(), "Path", g.path_type.get());

    // pathlib's globals.
    p.function(p.bound(pathlib_dict, "_ignore_error"), pathlib_dict, "_ignore_error", builtins);
    expect(is_c_function(p.bound(pathlib_dict, "S_ISDIR"), "_stat", "S_ISDIR"));
    expect(is_c_function(p.bound(pathlib_dict, "S_ISREG"), "_stat", "S_ISREG"));
    PyObject* ignored = p.bound(pathlib_dict, "_IGNORED_ERRNOS");
    expect(PyTuple_CheckExact(ignored) && PyTuple_GET_SIZE(ignored) == 4);
    const long ignored_errnos[] = {ENOENT, ENOTDIR, EBADF, ELOOP};
    for (Py_ssize_t i = 0; i < 4; ++i)
        expect(equals_int(PyTuple_GET_ITEM(ignored, i), ignored_errnos[i]));

    // os.
    expect(equals_text(p.bound(os, "name"), "posix"));
    for (const char* name : {"mkdir", "stat", "utime", "open", "close", "getcwd", "fspath"}) {
        expect(is_c_function(p.bound(os, name), "posix", name));
    }
    expect(equals_int(p.bound(os, "O_CREAT"), O_CREAT) &&
           equals_int(p.bound(os, "O_WRONLY"), O_WRONLY));

    // posixpath, as the path class's flavour.
    expect(p.bound(posixpath, "os") == dict_get(pathlib_dict, str(Id::os)).get());
    for (const char* name : {"splitroot", "join", "splitdrive", "_get_sep"}) {
        p.function(p.bound(posixpath, name), posixpath, name, builtins);
    }
    expect(equals_text(p.bound(posixpath, "sep"), "/") && p.bound(posixpath, "altsep") == Py_None);

    // sys.intern, which _parse_path calls.
    expect(is_c_function(p.bound(sys, "intern"), "sys", "intern"));

    prove_builtins(p, builtins, pathlib_dict, posixpath);

    // Path.stat's keyword default.
    Ref stat_name = interned("stat");
    Ref stat = dict_get(reinterpret_cast<PyTypeObject*>(path)->tp_dict, stat_name.get());
    expect(stat && PyFunction_Check(stat.get()));
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(stat.get());
    expect(kwdefaults != nullptr && PyDict_CheckExact(kwdefaults) &&
           PyDict_GET_SIZE(kwdefaults) == 1);
    p.watch(kwdefaults);
    p.bind(kwdefaults, "follow_symlinks", Py_True);

    auto* posix_type = reinterpret_cast<PyTypeObject*>(g.posix_path.get());
    expect(PyUnstable_Type_AssignVersionTag(posix_type) == 1 && posix_type->tp_version_tag != 0);
    g.tag = posix_type->tp_version_tag;
}

/// Forgets the baseline.
void forget(Genuine& g) {
    g.bindings.clear();
    g.fields.clear();
    g.attributes.clear();
    g.path_type.reset();
    g.posix_path.reset();
}

/// Tries to build the baseline; true when everything was found genuine.
bool try_prove(Genuine& g) {
    forget(g);
    g.dirty = false;
    try {
        if (g.watcher < 0) g.watcher = require_status(PyDict_AddWatcher(on_dict_event));
        prove(g);
        g.proved = true;
        g.bindings_hold = true;
        return true;
    } catch (const NotGenuine&) {
    } catch (const PythonError&) {
        PyErr_Clear();
    }
    forget(g);
    return false;
}

bool bindings_hold(const Genuine& g) {
    for (const Binding& b : g.bindings) {
        PyObject* value =
            PyDict_GetItemWithError(b.dict.get(), b.key.get());  // borrowed, compared only
        if (value == nullptr && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (value != b.expected.get()) return false;
    }
    return true;
}

bool attributes_hold(const Genuine& g) {
    auto* cls = reinterpret_cast<PyTypeObject*>(g.posix_path.get());
    if (!ordinary_attributes(cls) || cls->tp_mro == nullptr) return false;
    for (const ClassAttribute& a : g.attributes) {
        Ref found;
        try {
            found = lookup_from(cls->tp_mro, a.start, a.name.get());
        } catch (const PythonError&) {
            PyErr_Clear();
            return false;
        }
        if (found.get() != a.expected.get()) return false;
    }
    return true;
}

/// The last baseline proof that failed is worth trying again: something
/// watched changed since, or many calls went by (a class attribute or a
/// function's field set right again is seen no other way).
bool worth_proving(Genuine& g) { return g.dirty || ++g.calls_since_attempt >= 256; }

/// Whether everything the road stands for is genuine now.
bool road_is_genuine() {
    Genuine& g = road();
    if (!g.proved) {
        if (!worth_proving(g)) return false;
        g.calls_since_attempt = 0;
        if (!try_prove(g)) return false;
    }
    if (g.dirty) {
        g.dirty = false;
        g.bindings_hold = bindings_hold(g);
    }
    if (!g.bindings_hold) return false;
    auto* cls = reinterpret_cast<PyTypeObject*>(g.posix_path.get());
    if (!(cls->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) || cls->tp_version_tag != g.tag) {
        // Something of the MRO was set: found right again (a patch undone),
        // the new tag stands for the same attributes.
        if (PyUnstable_Type_AssignVersionTag(cls) != 1 || !attributes_hold(g)) return false;
        g.tag = cls->tp_version_tag;
    }
    for (const Field& f : g.fields) {
        if (*f.slot != f.expected.get()) return false;
    }
    return true;
}

/// Whether an audit hook is installed. The probe's arguments cannot be
/// built, so no hook is ever called with it: with no hook, PySys_Audit
/// returns at once without building them.
bool audit_hooks_present() {
    if (PySys_Audit("crenly.probe", "O", static_cast<PyObject*>(nullptr)) == 0) return false;
    PyErr_Clear();
    return true;
}

/// Whether `self.<name>` is the module's own method `id`, found on the class
/// by the ordinary lookup, with nothing of the instance in its way.
bool own_method(PyObject* self, Id name, CallableId id) {
    PyObject* method = nullptr;
    const int unbound = _PyObject_GetMethod(self, str(name), &method);
    Ref owned = Ref::steal(method);
    if (!owned) {
        PyErr_Clear();
        return false;
    }
    return unbound == 1 && is_function(owned.get(), id);
}

/// Whether the instance is one the road may serve: attributes found the
/// ordinary way, create_file and _notify its class's own.
bool instance_is_plain(PyObject* self) {
    return Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr &&
           own_method(self, Id::create_file, CallableId::create_file) &&
           own_method(self, Id::notify_method, CallableId::notify);
}

/// Whether the steps after the file's creation can run no Python code
/// before the success line: HAS_CLIPBOARD is False and _notify (the
/// module's own) finds no notifier. Reads them without side effects.
bool quiet_after_creation(PyObject* self) {
    PyObject* has_clipboard =
        PyDict_GetItemWithError(state.namespace_.get(), str(Id::HAS_CLIPBOARD));
    if (has_clipboard != Py_False) {
        PyErr_Clear();
        return false;
    }
    if (_PyType_Lookup(Py_TYPE(self), str(Id::growl)) != nullptr) return false;
    PyObject* growl = PyObject_GetAttr(self, str(Id::growl));
    if (growl == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool quiet = growl == Py_None || growl == Py_False;
    Py_DECREF(growl);
    return quiet;
}

// ---- The path texts, as the path class makes them

/// A path text split the way the path class splits it: the root ("", "/"
/// or "//", by posixpath.splitroot) and the components that are neither
/// empty nor ".", joined by "/" into `out`; `count` components.
template <class Char>
void normalise(const Char* text, Py_ssize_t length, std::vector<Char>& out, Py_ssize_t& root,
               Py_ssize_t& count) {
    out.clear();
    root = 0;
    if (length > 0 && text[0] == '/') {
        // Exactly two leading slashes stay a root of their own.
        root = (length >= 2 && text[1] == '/' && !(length >= 3 && text[2] == '/')) ? 2 : 1;
    }
    out.assign(static_cast<std::size_t>(root), static_cast<Char>('/'));
    count = 0;
    Py_ssize_t i = root;
    while (i < length) {
        Py_ssize_t j = i;
        while (j < length && text[j] != '/') ++j;
        const Py_ssize_t size = j - i;
        if (size > 0 && !(size == 1 && text[i] == '.')) {
            if (count > 0) out.push_back(static_cast<Char>('/'));
            out.insert(out.end(), text + i, text + j);
            ++count;
        }
        i = j + 1;
    }
}

/// Whether `normalise` leaves the text as it is, with its root length and
/// component count: a root as splitroot takes it, then components that are
/// neither empty nor ".", and no "/" at the end.
template <class Char>
bool is_normal(const Char* text, Py_ssize_t length, Py_ssize_t& root, Py_ssize_t& count) {
    if (length == 0) return false;  // the text of an empty path is "."
    root = 0;
    if (text[0] == '/') {
        if (length >= 3 && text[1] == '/' && text[2] == '/') return false;
        root = (length >= 2 && text[1] == '/') ? 2 : 1;
    }
    count = 0;
    Py_ssize_t start = root;
    for (Py_ssize_t i = root; i <= length; ++i) {
        if (i < length && text[i] != '/') continue;
        const Py_ssize_t size = i - start;
        if (size == 0) {
            if (!(i == length && start == root)) return false;  // only a bare root is empty
        } else if (size == 1 && text[start] == '.') {
            return false;
        } else {
            ++count;
        }
        start = i + 1;
    }
    return true;
}

const Text slash_text{"/"};

/// `str(Path(text))` (with its root length and component count).
template <class Char>
Ref normalised(PyObject* text, int kind, Py_ssize_t& root, Py_ssize_t& count) {
    const auto* data = static_cast<const Char*>(PyUnicode_DATA(text));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    // The text as it is, when nothing would change: no other object can
    // tell, since the road hands it only to the module's own functions.
    if (is_normal(data, length, root, count)) return Ref::borrow(text);
    std::vector<Char> out;
    normalise(data, length, out, root, count);
    if (out.empty()) return own(PyUnicode_FromStringAndSize(".", 1));
    return own(PyUnicode_FromKindAndData(kind, out.data(), static_cast<Py_ssize_t>(out.size())));
}

Ref normalised_text(PyObject* text, Py_ssize_t& root, Py_ssize_t& count) {
    return with_char_type(text, [&]<class Char>(Char) {
        return normalised<Char>(text, PyUnicode_KIND(text), root, count);
    });
}

/// The texts of one path: `str(Path(filepath))` and the file-system bytes
/// of it and of its parent.
struct Texts {
    Ref text;
    Py_ssize_t root = 0;
    Py_ssize_t count = 0;
    Ref encoded;       // the bytes of `text`, unless it is ASCII
    const char* file;  // null-terminated: the data of `text` or of `encoded`
    std::size_t file_size = 0;
    std::string parent;
};

/// Fills `t`; false when the bytes cannot be made (an unencodable
/// character, an embedded null): os would raise, the Python-level steps do.
bool make_texts(PyObject* filepath, Texts& t) {
    t.text = normalised_text(filepath, t.root, t.count);
    if (PyUnicode_IS_ASCII(t.text.get())) {
        // ASCII is its own UTF-8; a compact str's data ends in a null.
        t.file = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(t.text.get()));
        t.file_size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(t.text.get()));
    } else {
        PyObject* bytes = PyUnicode_EncodeFSDefault(t.text.get());
        if (bytes == nullptr) {
            PyErr_Clear();
            return false;
        }
        t.encoded = Ref::steal(bytes);
        t.file = PyBytes_AS_STRING(bytes);
        t.file_size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
    }
    if (std::memchr(t.file, '\0', t.file_size) != nullptr) return false;
    // `parent` of the path class: itself without components, the root (or
    // ".") with one, else everything before the last "/".
    std::size_t parent_size = t.file_size;
    if (t.count == 1) {
        parent_size = static_cast<std::size_t>(t.root);
    } else if (t.count > 1) {
        parent_size = std::string_view(t.file, t.file_size).rfind('/');
    }
    t.parent = parent_size == 0 ? std::string(1, '.') : std::string(t.file, parent_size);
    return true;
}

// ---- The system calls

enum class Outcome { created, python, close_failed };

/// What `parent.mkdir(parents=True, exist_ok=True)`, `is_dir()`,
/// `touch(exist_ok=True)` and `is_file()` do, while the result is the
/// success of all four.
/// Anything else ends in Outcome::python before anything is changed, or
/// after only `parent` was made (which those steps, run again, accept as
/// existing), except a failed close of the new file.
Outcome make_file(const char* parent, const char* file, int& error) noexcept {
    // mkdir: made, or existing as a directory. A missing ancestor (the
    // recursion) is left to pathlib.
    if (mkdir(parent, 0777) != 0) {
        if (errno == ENOENT) return Outcome::python;
        struct stat st;
        if (stat(parent, &st) != 0 || !S_ISDIR(st.st_mode)) return Outcome::python;
    }
    // is_dir: a directory is refused; the errors pathlib ignores mean "no".
    struct stat st;
    if (stat(file, &st) == 0) {
        // A directory is refused; so is a device or any other file that is
        // not regular, which touch would leave as it is (is_file after touch).
        if (!S_ISREG(st.st_mode)) return Outcome::python;
    } else if (errno != ENOENT && errno != ENOTDIR && errno != EBADF && errno != ELOOP) {
        return Outcome::python;
    }
    // touch: refresh the times, else create.
    if (utimensat(AT_FDCWD, file, nullptr, 0) == 0) return Outcome::created;
    const int fd = open(file, O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) return Outcome::python;
    if (close(fd) != 0) {
        error = errno;
        return Outcome::close_failed;
    }
    return Outcome::created;
}

/// The success line, '✓ File created: "<str(Path(filepath).absolute())>"':
/// the path itself when it has a root, else the current directory joined
/// with it.
Ref success_line(PyObject* path_type, PyObject* filepath, const Texts& t) {
    if (t.root > 0) return created_line(t.text.get());
    char buffer[PATH_MAX + 1];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        // The error as os.getcwd raises it, from pathlib's own absolute().
        Ref path = call(path_type, filepath);
        Ref absolute = call_method(path.get(), Id::absolute);
        Ref text = own(PyObject_Str(absolute.get()));
        return created_line(text.get());
    }
    const std::size_t size = std::strlen(buffer);
    Cwd& last_cwd = road().cwd;
    if (!last_cwd.text || last_cwd.bytes.size() != size ||
        std::memcmp(last_cwd.bytes.data(), buffer, size) != 0) {
        Ref text = own(PyUnicode_DecodeFSDefaultAndSize(buffer, static_cast<Py_ssize_t>(size)));
        Py_ssize_t root = 0;
        Py_ssize_t count = 0;
        Ref normal = normalised_text(text.get(), root, count);
        last_cwd.normal = normal.get() == text.get();
        last_cwd.bytes.assign(buffer, size);
        last_cwd.text = std::move(text);
    }
    Ref cwd = Ref::borrow(last_cwd.text.get());
    // absolute() of an empty path is the directory's text as it is.
    if (t.count == 0) return created_line(cwd.get());
    // posixpath.join, then the path class's split: a normal directory text
    // and a normal relative text join into a normal text.
    const Py_ssize_t n = PyUnicode_GET_LENGTH(cwd.get());
    const bool separator = n == 0 || PyUnicode_READ_CHAR(cwd.get(), n - 1) != '/';
    PyObject* slash = separator ? slash_text.get() : state.empty_str.get();
    if (last_cwd.normal) return created_line(cwd.get(), slash, t.text.get());
    Ref joined = concat({cwd.get(), slash, t.text.get()});
    Py_ssize_t root = 0;
    Py_ssize_t count = 0;
    Ref absolute = normalised_text(joined.get(), root, count);
    return created_line(absolute.get());
}

}  // namespace

bool create_fast(PyObject* self, PyObject* filepath) {
    if (!PyUnicode_CheckExact(filepath) || !road_is_genuine() || !instance_is_plain(self) ||
        audit_hooks_present()) {
        return false;
    }
    // Pathlib's code would have run signal handlers by now.
    if (PyErr_CheckSignals() < 0) throw_python_error();
    Texts t;
    if (!make_texts(filepath, t)) return false;
    Ref path_type = Ref::borrow(road().path_type.get());
    // Unless nothing can run between here and the success line, the later
    // steps take a path object made now, as the Python-level steps do.
    const bool quiet = quiet_after_creation(self);
    Ref file_path;
    if (!quiet) file_path = call(path_type.get(), filepath);
    int error = 0;
    Outcome outcome;
    // The system calls run without the interpreter lock, as os makes them.
    PyThreadState* thread = PyEval_SaveThread();
    outcome = make_file(t.parent.c_str(), t.file, error);
    PyEval_RestoreThread(thread);
    if (outcome == Outcome::python) return false;
    if (outcome == Outcome::close_failed) raise_os_error(error, nullptr);  // as os.close
    if (!quiet) {
        finish_creation(self, file_path.get());
        return true;
    }
    Ref has_clipboard = load_global(Id::HAS_CLIPBOARD);
    if (truth(has_clipboard.get())) {
        // Set by another thread meanwhile.
        Ref path = call(path_type.get(), filepath);
        copy_to_clipboard(path.get());
    }
    call_method(self, Id::notify_method, t.text.get());
    Ref line = success_line(path_type.get(), filepath, t);
    console_line(line.get());
    return true;
}

}  // namespace crenly::creation

#endif
