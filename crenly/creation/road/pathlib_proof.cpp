#include "crenly/creation/road/pathlib_proof.hpp"

#include <fcntl.h>
#include <opcode.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"

namespace crenly::creation::road {

using namespace crenly::core;
using namespace crenly::creation::proof;

namespace {

ProvedPathlib proved;

/// The table of the pathlib of the headers' version, or null. (The tables
/// are constant-initialised, so reading one during static initialisation is
/// safe.)
const PathlibTable* pathlib_table() noexcept {
#define CRENLY_THIS_VERSION(minor) \
    if (PY_MINOR_VERSION == (minor)) return &pathlib_3_##minor;
    CRENLY_PATHLIB_VERSIONS(CRENLY_THIS_VERSION)
#undef CRENLY_THIS_VERSION
    return nullptr;
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

/// `f`'s positional defaults: the exact int `mode`, then the `flags`.
unsigned expect_defaults(PyObject* f, long mode, std::initializer_list<PyObject*> flags) {
    PyObject* defaults = PyFunction_GET_DEFAULTS(f);
    require_genuine(defaults != nullptr && PyTuple_CheckExact(defaults) &&
                    PyTuple_GET_SIZE(defaults) == 1 + static_cast<Py_ssize_t>(flags.size()) &&
                    equals_int(PyTuple_GET_ITEM(defaults, 0), mode));
    Py_ssize_t i = 1;
    for (PyObject* flag : flags) require_genuine(PyTuple_GET_ITEM(defaults, i++) == flag);
    return static_cast<unsigned>(mode);
}

/// Whether the file system's codec is UTF-8 with surrogate escapes (both
/// ways alike), so that a "/" or "." byte of an encoded path is that
/// character and nothing else, and encoding runs the C codec only.
bool utf8_file_system() {
    Ref text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize("\xc3\xa9\x80", 3));  // é, a lone byte
    if (!text) PyErr_Clear();
    return text && PyUnicode_GET_LENGTH(text.get()) == 2 &&
           PyUnicode_READ_CHAR(text.get(), 0) == 0xE9 &&
           PyUnicode_READ_CHAR(text.get(), 1) == 0xDC80;
}

/// The offset of the instruction of `spec` in `code`.
int call_offset(PyObject* code, const CallSpec& spec) {
    auto* c = reinterpret_cast<PyCodeObject*>(code);
    Ref bytes = own(PyCode_GetCode(c));
    const auto* units = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    int found = -1;
    bool armed = false;  // the callee was loaded: its call comes next
    unsigned argument = 0;
    for (Py_ssize_t i = 0; i + 1 < PyBytes_GET_SIZE(bytes.get()); i += 2) {
        const int op = units[i];
        argument = (argument << 8) | units[i + 1];
        if (op == EXTENDED_ARG) continue;
#ifdef CALL_KW
        const bool is_call = op == CALL || op == CALL_KW;
#else
        const bool is_call = op == CALL;
#endif
        if (armed && is_call) {
            found = static_cast<int>(i);
            armed = false;
        } else if (op == LOAD_ATTR && (found < 0 || spec.last)) {
            // LOAD_ATTR's argument: the name's index, shifted past a flag.
            PyObject* name = PyTuple_GetItem(c->co_names, argument >> 1);
            armed = name != nullptr && equals_text(name, spec.callee);
        }
        argument = 0;
    }
    PyErr_Clear();  // an index out of range finds nothing
    require_genuine(found >= 0);
    return found;
}

/// The module `name`, as sys.modules holds it (borrowed; held).
PyObject* module_named(Prover& p, const char* name) {
    Ref module = Ref::steal(PyImport_GetModule(Ref(own(PyUnicode_FromString(name))).get()));
    if (!module && PyErr_Occurred()) throw_python_error();
    require_genuine(module && PyModule_CheckExact(module.get()));
    return p.hold(module.get());
}

/// A module bound as `name` in `dict`, which must stay, and stay a plain module.
PyObject* module_at(Prover& p, PyObject* dict, const char* name) {
    PyObject* module = p.bound(dict, name);
    require_genuine(PyModule_CheckExact(module));
    p.keep_type(module);
    return module;
}

/// The classes of PosixPath's MRO as the table names them, then object;
/// each bound in its module, of the metaclass type (which cannot change).
std::vector<PyObject*> prove_mro(Prover& p, const PathlibTable& table) {
    std::vector<PyObject*> order;
    for (const ClassSpec& spec : table.classes) {
        PyObject* cls = p.bound(PyModule_GetDict(module_named(p, spec.module)), spec.name);
        require_genuine(Py_IS_TYPE(cls, &PyType_Type));
        order.push_back(cls);
    }
    order.push_back(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    p.watch(order[0]);  // and with it the MRO
    PyObject* mro = reinterpret_cast<PyTypeObject*>(order[0])->tp_mro;
    require_genuine(mro != nullptr && PyTuple_CheckExact(mro) &&
                    PyTuple_GET_SIZE(mro) == static_cast<Py_ssize_t>(order.size()));
    for (std::size_t i = 0; i < order.size(); ++i) {
        require_genuine(PyTuple_GET_ITEM(mro, static_cast<Py_ssize_t>(i)) == order[i]);
    }
    return order;
}

void prove_attributes(Prover& p, const PathlibTable& table, const std::vector<PyObject*>& order,
                      PyObject* posixpath, ProvedPathlib& found) {
    PyObject* concrete = order[0];
    int members = 0;
    for (const AttributeSpec& spec : table.attributes) {
        PyObject* value = p.attribute(concrete, spec.name, spec.start);
        Ref owner_dict = own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(order[spec.owner])));
        require_genuine(
            dict_get(owner_dict.get(), Ref(own(PyUnicode_InternFromString(spec.name))).get())
                .get() == value);
        if (spec.kind == Kind::object) continue;  // object's own, which cannot change
        if (spec.kind == Kind::parser_module) {
            require_genuine(value == posixpath);
            continue;
        }
        if (spec.kind == Kind::member) {
            require_genuine(Py_TYPE(value) == &PyMemberDescr_Type &&
                            reinterpret_cast<PyDescrObject*>(value)->d_type ==
                                reinterpret_cast<PyTypeObject*>(order[spec.owner]));
            require_genuine(members < static_cast<int>(PathSlot::count_));
            found.slots[members++] = reinterpret_cast<PyMemberDescrObject*>(value)->d_member;
            continue;
        }
        const ClassSpec& where = table.classes[spec.owner];
        // A wrapper of another kind holds the same function to other effect.
        require_genuine(spec.kind == Kind::function ||
                        Py_TYPE(value) == (spec.kind == Kind::static_method  ? &PyStaticMethod_Type
                                           : spec.kind == Kind::class_method ? &PyClassMethod_Type
                                                                             : &PyProperty_Type));
        PyObject* function = spec.kind == Kind::function ? value : p.unwrap(value);
        p.function(function, module_named(p, where.module),
                   (std::string(where.name) + "." + (spec.code ? spec.code : spec.name)).c_str());
    }
    require_genuine(members == static_cast<int>(PathSlot::count_));
    if (table.path_init) {
        // Path.__init__ calls super().__init__: its __class__ cell is Path.
        PyObject* closure = PyFunction_GET_CLOSURE(p.attribute(concrete, "__init__"));
        require_genuine(closure != nullptr && PyTuple_GET_SIZE(closure) == 1 &&
                        PyCell_GET(PyTuple_GET_ITEM(closure, 0)) == order[table.path]);
    }
    // The defaults the road relies on.
    found.mkdir_mode = expect_defaults(p.attribute(concrete, "mkdir"), 0777, {Py_False, Py_False});
    found.touch_mode = expect_defaults(p.attribute(concrete, "touch"), 0666, {Py_True});
    for (const KeywordSpec& spec : table.keywords) {
        PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(p.attribute(concrete, spec.function));
        const auto listed = std::ranges::count_if(table.keywords, [&](const KeywordSpec& other) {
            return std::strcmp(other.function, spec.function) == 0;
        });
        require_genuine(kwdefaults != nullptr && PyDict_CheckExact(kwdefaults) &&
                        PyDict_GET_SIZE(kwdefaults) == listed);
        require_genuine(p.bound(kwdefaults, spec.keyword) ==
                        (spec.value == Default::true_ ? Py_True : Py_None));
    }
    // Failed lookups of slots not yet filled find no __getattr__.
    require_genuine(p.attribute(concrete, "__getattr__", 0, false) == nullptr);
    found.concrete = reinterpret_cast<PyTypeObject*>(concrete);
}

/// The call sites of the table's points: in a function of the path class or
/// of a module (as that module binds it, proved before).
void prove_calls(Prover& p, const PathlibTable& table, ProvedPathlib& found) {
    for (const CallSpec& spec : table.calls) {
        PyObject* function =
            spec.module != nullptr
                ? p.bound(PyModule_GetDict(module_named(p, spec.module)), spec.function)
                : p.attribute(reinterpret_cast<PyObject*>(found.concrete), spec.function);
        if (Py_IS_TYPE(function, &PyStaticMethod_Type)) function = p.unwrap(function);
        require_genuine(PyFunction_Check(function));
        CallPath& path = found.calls[static_cast<int>(spec.point)];
        require_genuine(path.count < static_cast<int>(std::size(path.sites)));
        PyObject* code = PyFunction_GET_CODE(function);
        path.sites[path.count++] = {code, PyFunction_GET_GLOBALS(function),
                                    call_offset(code, spec)};
    }
    for (const CallPath& path : found.calls) require_genuine(path.count > 0);
}

/// The module globals of the table, each the module or the C function named.
void prove_globals(Prover& p, const PathlibTable& table) {
    for (const GlobalSpec& spec : table.globals) {
        PyObject* value = p.bound(PyModule_GetDict(module_named(p, spec.module)), spec.name);
        if (spec.c_name != nullptr) {
            require_genuine(Prover::is_c_function(value, spec.value, spec.c_name));
        } else {
            require_genuine(value == module_named(p, spec.value));
            p.keep_type(value);
        }
    }
}

void prove_builtins(Prover& p, const PathlibTable& table, PyObject* posixpath) {
    struct BuiltinSpec {
        const char* name;
        PyObject* object;  // null: a C function of the builtins module
    };
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
    PyObject* builtins = PyModule_GetDict(state.builtins.get());
    for (const BuiltinSpec& spec : specs) {
        PyObject* value = p.bound(builtins, spec.name);
        require_genuine(spec.object != nullptr
                            ? value == spec.object
                            : Prover::is_c_function(value, "builtins", spec.name));
        // No module global hides it.
        for (const char* module : table.function_modules) {
            p.absent(PyModule_GetDict(module_named(p, module)), spec.name);
        }
        p.absent(PyModule_GetDict(posixpath), spec.name);
    }
}

/// What os.stat returns, whose st_mode is_dir and is_file read.
void prove_stat_result(Prover& p, PyObject* os_dict) {
    Ref root = own(PyUnicode_FromString("/"));
    Ref result = call(p.bound(os_dict, "stat"), root);
    auto* stat_result = reinterpret_cast<PyObject*>(Py_TYPE(result.get()));
    p.keep(stat_result);
    PyObject* st_mode = p.attribute(stat_result, "st_mode");
    require_genuine(Py_IS_TYPE(stat_result, &PyType_Type) &&
                    Py_TYPE(st_mode) == &PyMemberDescr_Type &&
                    reinterpret_cast<PyDescrObject*>(st_mode)->d_type ==
                        reinterpret_cast<PyTypeObject*>(stat_result) &&
                    std::strcmp(reinterpret_cast<PyMemberDescrObject*>(st_mode)->d_member->name,
                                "st_mode") == 0);
    // A tuple's attributes: the ordinary lookup (tuple's own, or from 3.14
    // on object's, as the lookup on tuple finds it).
    Ref ordinary =
        own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyTuple_Type), "__getattribute__"));
    require_genuine(p.attribute(stat_result, "__getattribute__") == ordinary.get());
}

void build(Prover& p) {
    const PathlibTable* known = pathlib_table();
    require_genuine(known != nullptr);  // a version without a table: the pathlib steps
    const PathlibTable& table = *known;
    ProvedPathlib found;
    require_genuine(utf8_file_system());
    // The os and posixpath modules, as the path classes' module binds them.
    PyObject* classes_dict = PyModule_GetDict(module_named(p, table.classes_module));
    PyObject* os = module_at(p, classes_dict, "os");
    PyObject* posixpath = module_at(p, classes_dict, "posixpath");
    require_genuine(os == module_named(p, "os") && posixpath == module_named(p, "posixpath"));
    PyObject* os_dict = PyModule_GetDict(os);
    PyObject* posixpath_dict = PyModule_GetDict(posixpath);

    const std::vector<PyObject*> order = prove_mro(p, table);
    prove_attributes(p, table, order, posixpath, found);
    // The global Path of the module is pathlib's.
    require_genuine(p.bound(state.namespace_.get(), "Path") == order[table.path]);

    if (table.ignore_error != nullptr) {
        // is_dir's and is_file's filter finds the errors the road takes as
        // "no" here, first.
        PyObject* helpers_module = module_named(p, table.ignore_error);
        PyObject* helpers = PyModule_GetDict(helpers_module);
        p.function(p.bound(helpers, "_ignore_error"), helpers_module, "_ignore_error");
        PyObject* ignored = p.bound(helpers, "_IGNORED_ERRNOS");
        const long numbers[] = {ENOENT, ENOTDIR, EBADF, ELOOP};
        require_genuine(PyTuple_CheckExact(ignored) &&
                        PyTuple_GET_SIZE(ignored) == std::ssize(numbers));
        for (Py_ssize_t i = 0; i < std::ssize(numbers); ++i) {
            require_genuine(equals_int(PyTuple_GET_ITEM(ignored, i), numbers[i]));
        }
        found.helpers_globals = helpers;
        found.ignore_error = p.keep(Ref(own(PyUnicode_InternFromString("_ignore_error"))).get());
    }

    // os.
    require_genuine(equals_text(p.bound(os_dict, "name"), "posix"));
    for (const char* name : {"mkdir", "stat", "utime", "open", "close", "getcwd", "fspath"}) {
        require_genuine(Prover::is_c_function(p.bound(os_dict, name), "posix", name));
    }
    require_genuine(equals_int(p.bound(os_dict, "O_CREAT"), O_CREAT) &&
                    equals_int(p.bound(os_dict, "O_WRONLY"), O_WRONLY));
    if (table.os_path) require_genuine(p.bound(os_dict, "path") == posixpath);

    // posixpath, as the path class's flavour.
    require_genuine(p.bound(posixpath_dict, "os") == os);
    for (const PosixpathSpec& spec : table.posixpath) {
        PyObject* f = p.bound(posixpath_dict, spec.name);
        if (spec.c_module != nullptr) {
            require_genuine(Prover::is_c_function(f, spec.c_module, spec.c_name));
        } else {
            p.function(f, module_named(p, spec.module), spec.name);
        }
    }
    require_genuine(equals_text(p.bound(posixpath_dict, "sep"), "/") &&
                    p.bound(posixpath_dict, "altsep") == Py_None);

    prove_globals(p, table);
    prove_calls(p, table, found);
    prove_builtins(p, table, posixpath);
    prove_stat_result(p, os_dict);

    // Everything the road takes, kept alive together for each creation.
    Ref objects = own(PyList_New(0));
    auto add = [&](PyObject* o) { require_status(PyList_Append(objects.get(), o)); };
    add(reinterpret_cast<PyObject*>(found.concrete));
    if (found.helpers_globals != nullptr) add(found.helpers_globals);
    for (const CallPath& path : found.calls) {
        for (int i = 0; i < path.count; ++i) {
            add(path.sites[i].code);
            add(path.sites[i].globals);
        }
    }
    found.objects = p.keep(Ref(own(PyList_AsTuple(objects.get()))).get());
    p.on_commit([found] { proved = found; });
}

Proof proof{build, pathlib_table() != nullptr ? pathlib_table()->frames : 0};

}  // namespace

Proof& pathlib_proof() noexcept { return proof; }

const ProvedPathlib& proved_pathlib() noexcept { return proved; }

}  // namespace crenly::creation::road
