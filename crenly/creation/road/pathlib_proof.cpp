#include "crenly/creation/road/pathlib_proof.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"
#include "crenly/core/state.hpp"
#include "crenly/creation/road/pathlib_tables.hpp"

namespace crenly::creation::road {

using namespace crenly::core;

namespace {

Pathlib facts;

/// The names of builtins that the functions of the road use, with the
/// interpreter's own objects (null: a C function of the builtins module).
struct BuiltinSpec {
    const char* name;
    PyObject* object;
};

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
    expect(defaults != nullptr && PyTuple_CheckExact(defaults) &&
           PyTuple_GET_SIZE(defaults) == 1 + static_cast<Py_ssize_t>(flags.size()) &&
           equals_int(PyTuple_GET_ITEM(defaults, 0), mode));
    Py_ssize_t i = 1;
    for (PyObject* flag : flags) expect(PyTuple_GET_ITEM(defaults, i++) == flag);
    return static_cast<unsigned>(mode);
}

/// The type of the attribute that holds a function of kind `kind` (not
/// Kind::function): a wrapper of one other kind holds the same function to
/// other effect.
PyTypeObject* wrapper_type(Kind kind) noexcept {
    return kind == Kind::static_method  ? &PyStaticMethod_Type
           : kind == Kind::class_method ? &PyClassMethod_Type
                                        : &PyProperty_Type;
}

/// `tuple` is exactly a tuple of exact ints equal to `values`.
void expect_ints(PyObject* tuple, std::initializer_list<long> values) {
    expect(PyTuple_CheckExact(tuple) &&
           PyTuple_GET_SIZE(tuple) == static_cast<Py_ssize_t>(values.size()));
    Py_ssize_t i = 0;
    for (long value : values) expect(equals_int(PyTuple_GET_ITEM(tuple, i++), value));
}

/// Whether the file system's encoding is UTF-8 with surrogate escapes, so
/// that a "/" or "." byte of an encoded path is that character and nothing
/// else, and encoding runs the C codec only.
bool utf8_file_system() {
    Ref probe = own(PyUnicode_FromString("\xc3\xa9"));  // é
    Ref escaped = own(PyUnicode_FromOrdinal(0xDC80));
    Ref text = own(PyUnicode_Concat(probe.get(), escaped.get()));
    PyObject* bytes = PyUnicode_EncodeFSDefault(text.get());
    if (bytes == nullptr) {
        PyErr_Clear();
        return false;
    }
    Ref held = Ref::steal(bytes);
    return PyBytes_GET_SIZE(bytes) == 3 &&
           std::memcmp(PyBytes_AS_STRING(bytes), "\xc3\xa9\x80", 3) == 0;
}

/// The byte offset of the last CALL in `code`: in Path.touch, os.close(fd).
int last_call(PyObject* code) {
    Ref opcode = own(PyImport_ImportModule("opcode"));
    Ref opmap = own(PyObject_GetAttrString(opcode.get(), "opmap"));
    PyObject* call_op = PyDict_GetItemString(opmap.get(), "CALL");  // borrowed
    expect(call_op != nullptr);
    const long op = PyLong_AsLong(call_op);
    Ref bytes = own(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(code)));
    const auto* units = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    int found = -1;
    for (Py_ssize_t i = 0; i + 1 < PyBytes_GET_SIZE(bytes.get()); i += 2) {
        if (units[i] == op) found = static_cast<int>(i);
    }
    expect(found >= 0);
    return found;
}

/// The module `name`, as sys.modules holds it (borrowed; the proof holds it).
PyObject* module_named(Prover& p, const char* name) {
    Ref module = Ref::steal(PyImport_GetModule(Ref(own(PyUnicode_FromString(name))).get()));
    if (!module && PyErr_Occurred()) throw_python_error();
    expect(module && PyModule_CheckExact(module.get()));
    return p.hold(module.get());
}

/// A module bound as `name` in `dict`, which must stay, and must stay a plain module.
PyObject* module_at(Prover& p, PyObject* dict, const char* name) {
    PyObject* module = p.bound(dict, name);
    expect(PyModule_CheckExact(module));
    p.keep_type(module);
    return module;
}

/// The classes of PosixPath's MRO as the table names them, then object;
/// each bound in its module and of the metaclass type.
std::vector<PyObject*> prove_mro(Prover& p, const PathlibTable& table) {
    std::vector<PyObject*> order;
    for (const ClassSpec& spec : table.classes) {
        PyObject* cls = p.bound(PyModule_GetDict(module_named(p, spec.module)), spec.name);
        expect(Py_IS_TYPE(cls, &PyType_Type));
        p.keep_type(cls);
        order.push_back(cls);
    }
    order.push_back(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    PyObject* mro = reinterpret_cast<PyTypeObject*>(order[0])->tp_mro;
    expect(mro != nullptr && PyTuple_CheckExact(mro) &&
           PyTuple_GET_SIZE(mro) == static_cast<Py_ssize_t>(order.size()));
    for (std::size_t i = 0; i < order.size(); ++i) {
        expect(PyTuple_GET_ITEM(mro, static_cast<Py_ssize_t>(i)) == order[i]);
    }
    return order;
}

void prove_attributes(Prover& p, const PathlibTable& table, const std::vector<PyObject*>& order,
                      PyObject* posixpath) {
    PyObject* concrete = order[0];
    for (const AttributeSpec& spec : table.attributes) {
        PyObject* value = p.attribute(concrete, spec.name, spec.start);
        auto* owner = reinterpret_cast<PyTypeObject*>(order[spec.owner]);
        Ref owner_dict = own(PyType_GetDict(owner));
        Ref name = own(PyUnicode_InternFromString(spec.name));
        expect(dict_get(owner_dict.get(), name.get()).get() == value);
        if (spec.kind == Kind::object) continue;  // object's own, which cannot change
        if (spec.kind == Kind::flavour) {
            expect(value == posixpath);
            continue;
        }
        if (spec.kind == Kind::member) {
            expect(Py_TYPE(value) == &PyMemberDescr_Type &&
                   reinterpret_cast<PyDescrObject*>(value)->d_type == owner);
            if (std::strcmp(spec.name, "_raw_paths") == 0) {
                facts.raw_paths = reinterpret_cast<PyMemberDescrObject*>(value)->d_member;
            }
            continue;
        }
        const ClassSpec& where = table.classes[spec.owner];
        const std::string qualname = std::string(where.name) + "." + spec.name;
        if (spec.kind != Kind::function) expect(Py_TYPE(value) == wrapper_type(spec.kind));
        PyObject* function = spec.kind == Kind::function ? value : p.unwrap(value);
        p.function(function, module_named(p, where.module), qualname.c_str());
    }
    // Path.__init__ calls super().__init__: its __class__ cell is Path.
    PyObject* init = p.attribute(concrete, "__init__");
    PyObject* closure = PyFunction_GET_CLOSURE(init);
    expect(closure != nullptr && PyTuple_GET_SIZE(closure) == 1 &&
           PyCell_GET(PyTuple_GET_ITEM(closure, 0)) == order[table.path]);
    // The defaults the road relies on.
    facts.mkdir_mode = expect_defaults(p.attribute(concrete, "mkdir"), 0777, {Py_False, Py_False});
    PyObject* touch = p.attribute(concrete, "touch");
    facts.touch_mode = expect_defaults(touch, 0666, {Py_True});
    facts.touch_code = PyFunction_GET_CODE(touch);
    facts.close_call = last_call(facts.touch_code);
    for (const char* name : table.follow_symlinks) {
        PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(p.attribute(concrete, name));
        expect(kwdefaults != nullptr && PyDict_CheckExact(kwdefaults) &&
               PyDict_GET_SIZE(kwdefaults) == 1);
        expect(p.bound(kwdefaults, "follow_symlinks") == Py_True);
    }
    // Failed lookups of slots not yet computed find no __getattr__.
    expect(p.attribute(concrete, "__getattr__", 0, false) == nullptr);
    facts.concrete = reinterpret_cast<PyTypeObject*>(concrete);
}

void prove_builtins(Prover& p, const PathlibTable& table, PyObject* posixpath) {
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
        expect(spec.object != nullptr ? value == spec.object
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
    p.hold(stat_result);
    p.keep_type(stat_result);
    PyObject* st_mode = p.attribute(stat_result, "st_mode");
    expect(Py_TYPE(st_mode) == &PyMemberDescr_Type &&
           reinterpret_cast<PyDescrObject*>(st_mode)->d_type ==
               reinterpret_cast<PyTypeObject*>(stat_result) &&
           std::strcmp(reinterpret_cast<PyMemberDescrObject*>(st_mode)->d_member->name,
                       "st_mode") == 0);
    // A tuple's attributes: the ordinary lookup.
    Ref tuple_dict = own(PyType_GetDict(&PyTuple_Type));
    Ref getattribute = own(PyUnicode_InternFromString("__getattribute__"));
    expect(p.attribute(stat_result, "__getattribute__") ==
           dict_get(tuple_dict.get(), getattribute.get()).get());
}

/// The table of the pathlib of the headers' version. (Both tables are
/// constant-initialised, so reading one during static initialisation is safe.)
const PathlibTable& pathlib_table() noexcept {
    return PY_VERSION_HEX >= 0x030D0000 ? pathlib_3_13 : pathlib_3_12;
}

void build(Prover& p) {
    const PathlibTable& table = pathlib_table();
    expect(utf8_file_system());
    PyObject* classes_dict = PyModule_GetDict(module_named(p, table.classes_module));
    PyObject* os = module_at(p, classes_dict, "os");
    PyObject* posixpath = module_at(p, classes_dict, "posixpath");
    PyObject* sys = module_at(p, classes_dict, "sys");
    p.bound(classes_dict, "ntpath");
    PyObject* os_dict = PyModule_GetDict(os);
    PyObject* posixpath_dict = PyModule_GetDict(posixpath);

    const std::vector<PyObject*> order = prove_mro(p, table);
    prove_attributes(p, table, order, posixpath);
    facts.pathlib_globals = PyModule_GetDict(module_named(p, table.classes[table.path].module));
    // The global Path of the module is pathlib's.
    expect(p.bound(state.namespace_.get(), "Path") == order[table.path]);

    // is_dir's and is_file's helpers.
    PyObject* helpers_module = module_named(p, table.helpers_module);
    PyObject* helpers = PyModule_GetDict(helpers_module);
    p.function(p.bound(helpers, "_ignore_error"), helpers_module, "_ignore_error");
    expect(Prover::is_c_function(p.bound(helpers, "S_ISDIR"), "_stat", "S_ISDIR"));
    expect(Prover::is_c_function(p.bound(helpers, "S_ISREG"), "_stat", "S_ISREG"));
    expect_ints(p.bound(helpers, "_IGNORED_ERRNOS"), {ENOENT, ENOTDIR, EBADF, ELOOP});
    PyObject* winerrors = p.bound(helpers, "_IGNORED_WINERRORS");
    expect(PyTuple_CheckExact(winerrors));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(winerrors); ++i) {
        expect(PyLong_CheckExact(PyTuple_GET_ITEM(winerrors, i)));
    }

    // os.
    expect(equals_text(p.bound(os_dict, "name"), "posix"));
    for (const char* name : {"mkdir", "stat", "utime", "open", "close", "getcwd", "fspath"}) {
        expect(Prover::is_c_function(p.bound(os_dict, name), "posix", name));
    }
    expect(equals_int(p.bound(os_dict, "O_CREAT"), O_CREAT) &&
           equals_int(p.bound(os_dict, "O_WRONLY"), O_WRONLY));
    if (table.os_path) expect(p.bound(os_dict, "path") == posixpath);

    // posixpath, as the path class's flavour.
    expect(p.bound(posixpath_dict, "os") == os);
    for (const PosixpathSpec& spec : table.posixpath) {
        PyObject* f = p.bound(posixpath_dict, spec.name);
        if (spec.c_module != nullptr) {
            expect(Prover::is_c_function(f, spec.c_module, spec.c_name));
        } else {
            p.function(f, posixpath, spec.name);
        }
    }
    expect(equals_text(p.bound(posixpath_dict, "sep"), "/") &&
           p.bound(posixpath_dict, "altsep") == Py_None);

    // sys.intern, which _parse_path calls.
    expect(Prover::is_c_function(p.bound(PyModule_GetDict(sys), "intern"), "sys", "intern"));

    prove_builtins(p, table, posixpath);
    prove_stat_result(p, os_dict);
}

Proof proof{build, pathlib_table().frames};

}  // namespace

Proof* pathlib_proof() noexcept { return &proof; }

const Pathlib& pathlib() noexcept { return facts; }

}  // namespace crenly::creation::road
