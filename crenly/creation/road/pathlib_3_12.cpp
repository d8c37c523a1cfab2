// The native road's proof table for CPython 3.12's pathlib (one module,
// pathlib.py). The road stands for the calls listed in pathlib_proof.hpp;
// this table proves genuine everything they reach.
#include "crenly/creation/road/pathlib_proof.hpp"

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000

#include <fcntl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "crenly/core/errors.hpp"
#include "crenly/core/protocol.hpp"

namespace crenly::creation::road {

using namespace crenly::core;

namespace {

// The deepest nesting of Python frames that the steps reach (absolute() of
// a relative path: absolute, with_segments, __init__ through super(),
// os.fspath of a path, __fspath__, __str__, _format_parsed_parts ...),
// measured with a profile function over the road's cases and rounded up.
constexpr int frames = 6;

Pathlib facts;

// MRO of the path class: PosixPath, Path, PurePosixPath, PurePath, object.
enum Index : std::size_t { posix_path, path, pure_posix, pure };

enum class Kind { function, static_method, class_method, property, member, flavour, object };

struct AttributeSpec {
    const char* name;
    std::size_t start;  // where the lookup starts in the MRO
    std::size_t owner;  // the class in the MRO that defines it
    Kind kind;
};

constexpr std::size_t object_index = 4;

constexpr AttributeSpec attribute_specs[] = {
    {"__new__", posix_path, path, Kind::static_method},
    {"__init__", posix_path, path, Kind::function},
    {"__init__", pure_posix, pure, Kind::function},  // super().__init__ from Path
    {"mkdir", posix_path, path, Kind::function},
    {"is_dir", posix_path, path, Kind::function},
    {"is_file", posix_path, path, Kind::function},
    {"stat", posix_path, path, Kind::function},
    {"touch", posix_path, path, Kind::function},
    {"absolute", posix_path, path, Kind::function},
    {"__str__", posix_path, pure, Kind::function},
    {"__fspath__", posix_path, pure, Kind::function},
    {"_load_parts", posix_path, pure, Kind::function},
    {"with_segments", posix_path, pure, Kind::function},
    {"_from_parsed_parts", posix_path, pure, Kind::function},
    {"is_absolute", posix_path, pure, Kind::function},
    {"_parse_path", posix_path, pure, Kind::class_method},
    {"_format_parsed_parts", posix_path, pure, Kind::class_method},
    {"drive", posix_path, pure, Kind::property},
    {"root", posix_path, pure, Kind::property},
    {"_tail", posix_path, pure, Kind::property},
    {"parent", posix_path, pure, Kind::property},
    {"_raw_paths", posix_path, pure, Kind::member},
    {"_drv", posix_path, pure, Kind::member},
    {"_root", posix_path, pure, Kind::member},
    {"_tail_cached", posix_path, pure, Kind::member},
    {"_str", posix_path, pure, Kind::member},
    {"_flavour", posix_path, pure_posix, Kind::flavour},
    // Instances get and set their attributes the ordinary way.
    {"__getattribute__", posix_path, object_index, Kind::object},
    {"__setattr__", posix_path, object_index, Kind::object},
};

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

void prove_classes(Prover& p, PyObject* pathlib, PyObject* posixpath) {
    PyObject* pathlib_dict = PyModule_GetDict(pathlib);
    PyObject* order[] = {p.bound(pathlib_dict, "PosixPath"), p.bound(pathlib_dict, "Path"),
                         p.bound(pathlib_dict, "PurePosixPath"), p.bound(pathlib_dict, "PurePath"),
                         reinterpret_cast<PyObject*>(&PyBaseObject_Type)};
    for (std::size_t i = 0; i < object_index; ++i) {
        expect(Py_IS_TYPE(order[i], &PyType_Type));
        p.keep_type(order[i]);
    }
    auto* concrete = reinterpret_cast<PyTypeObject*>(order[posix_path]);
    PyObject* mro = concrete->tp_mro;
    expect(mro != nullptr && PyTuple_CheckExact(mro) && PyTuple_GET_SIZE(mro) == 5);
    for (std::size_t i = 0; i < 5; ++i) {
        expect(PyTuple_GET_ITEM(mro, static_cast<Py_ssize_t>(i)) == order[i]);
    }
    for (const AttributeSpec& spec : attribute_specs) {
        PyObject* value = p.attribute(order[posix_path], spec.name, spec.start);
        Ref owner_dict = own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(order[spec.owner])));
        Ref name = own(PyUnicode_InternFromString(spec.name));
        expect(dict_get(owner_dict.get(), name.get()).get() == value);
        const std::string qualname =
            std::string(reinterpret_cast<PyTypeObject*>(order[spec.owner])->tp_name) + "." +
            spec.name;
        switch (spec.kind) {
            case Kind::member:
                expect(Py_TYPE(value) == &PyMemberDescr_Type &&
                       reinterpret_cast<PyDescrObject*>(value)->d_type ==
                           reinterpret_cast<PyTypeObject*>(order[spec.owner]));
                if (std::strcmp(spec.name, "_raw_paths") == 0) {
                    facts.raw_paths = reinterpret_cast<PyMemberDescrObject*>(value)->d_member;
                }
                break;
            case Kind::flavour:
                expect(value == posixpath);
                break;
            case Kind::object:
                break;  // found in object's own dictionary, which cannot change
            case Kind::function:
                p.function(value, pathlib, qualname.c_str());
                break;
            default:
                p.function(p.unwrap(value), pathlib, qualname.c_str());
                break;
        }
    }
    // Path.__init__ calls super().__init__: its __class__ cell is Path.
    PyObject* init = p.attribute(order[posix_path], "__init__");
    PyObject* closure = PyFunction_GET_CLOSURE(init);
    expect(closure != nullptr && PyTuple_GET_SIZE(closure) == 1 &&
           PyCell_GET(PyTuple_GET_ITEM(closure, 0)) == order[path]);
    // The defaults the road relies on.
    facts.mkdir_mode =
        expect_defaults(p.attribute(order[posix_path], "mkdir"), 0777, {Py_False, Py_False});
    PyObject* touch = p.attribute(order[posix_path], "touch");
    facts.touch_mode = expect_defaults(touch, 0666, {Py_True});
    facts.touch_code = PyFunction_GET_CODE(touch);
    facts.close_call = last_call(facts.touch_code);
    PyObject* stat = p.attribute(order[posix_path], "stat");
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(stat);
    expect(kwdefaults != nullptr && PyDict_CheckExact(kwdefaults) &&
           PyDict_GET_SIZE(kwdefaults) == 1);
    expect(p.bound(kwdefaults, "follow_symlinks") == Py_True);
    // Failed lookups of slots not yet computed find no __getattr__.
    expect(p.attribute(order[posix_path], "__getattr__", 0, false) == nullptr);
    facts.concrete = concrete;
    facts.pathlib_globals = pathlib_dict;
    // The global Path of the module is pathlib's.
    expect(p.bound(state.namespace_.get(), "Path") == order[path]);
}

void prove_builtins(Prover& p, PyObject* pathlib_dict, PyObject* posixpath_dict) {
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
        p.absent(pathlib_dict, spec.name);
        p.absent(posixpath_dict, spec.name);
    }
}

/// A module bound as `name` in `dict`, which must stay, and must stay a plain module.
PyObject* module_at(Prover& p, PyObject* dict, const char* name) {
    PyObject* module = p.bound(dict, name);
    expect(PyModule_CheckExact(module));
    p.keep_type(module);
    return module;
}

void build(Prover& p) {
    expect(utf8_file_system());
    Ref pathlib = Ref::steal(PyImport_GetModule(str(Id::pathlib)));
    if (!pathlib && PyErr_Occurred()) throw_python_error();
    expect(pathlib && PyModule_CheckExact(pathlib.get()));
    p.hold(pathlib.get());
    PyObject* pathlib_dict = PyModule_GetDict(pathlib.get());  // borrowed

    PyObject* os = module_at(p, pathlib_dict, "os");
    PyObject* posixpath = module_at(p, pathlib_dict, "posixpath");
    PyObject* sys = module_at(p, pathlib_dict, "sys");
    p.bound(pathlib_dict, "ntpath");
    PyObject* posixpath_dict = PyModule_GetDict(posixpath);

    prove_classes(p, pathlib.get(), posixpath);

    // pathlib's globals.
    p.function(p.bound(pathlib_dict, "_ignore_error"), pathlib.get(), "_ignore_error");
    expect(Prover::is_c_function(p.bound(pathlib_dict, "S_ISDIR"), "_stat", "S_ISDIR"));
    expect(Prover::is_c_function(p.bound(pathlib_dict, "S_ISREG"), "_stat", "S_ISREG"));
    expect_ints(p.bound(pathlib_dict, "_IGNORED_ERRNOS"), {ENOENT, ENOTDIR, EBADF, ELOOP});
    PyObject* winerrors = p.bound(pathlib_dict, "_IGNORED_WINERRORS");
    expect(PyTuple_CheckExact(winerrors));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(winerrors); ++i) {
        expect(PyLong_CheckExact(PyTuple_GET_ITEM(winerrors, i)));
    }

    // os.
    PyObject* os_dict = PyModule_GetDict(os);
    expect(equals_text(p.bound(os_dict, "name"), "posix"));
    for (const char* name : {"mkdir", "stat", "utime", "open", "close", "getcwd", "fspath"}) {
        expect(Prover::is_c_function(p.bound(os_dict, name), "posix", name));
    }
    expect(equals_int(p.bound(os_dict, "O_CREAT"), O_CREAT) &&
           equals_int(p.bound(os_dict, "O_WRONLY"), O_WRONLY));

    // posixpath, as the path class's flavour.
    expect(p.bound(posixpath_dict, "os") == os);
    for (const char* name : {"splitroot", "join", "splitdrive", "_get_sep"}) {
        p.function(p.bound(posixpath_dict, name), posixpath, name);
    }
    expect(equals_text(p.bound(posixpath_dict, "sep"), "/") &&
           p.bound(posixpath_dict, "altsep") == Py_None);

    // sys.intern, which _parse_path calls.
    expect(Prover::is_c_function(p.bound(PyModule_GetDict(sys), "intern"), "sys", "intern"));

    prove_builtins(p, pathlib_dict, posixpath_dict);

    // What os.stat returns, whose st_mode is_dir and is_file read.
    Ref here = own(PyUnicode_FromString("."));
    Ref result = call(p.bound(os_dict, "stat"), here);
    auto* stat_result = reinterpret_cast<PyObject*>(Py_TYPE(result.get()));
    p.hold(stat_result);
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
    p.keep_type(stat_result);
}

Proof proof{build, frames};

}  // namespace

Proof* pathlib_proof() noexcept { return &proof; }

const Pathlib& pathlib() noexcept { return facts; }

}  // namespace crenly::creation::road

#else

namespace crenly::creation::road {

// No table for this interpreter: the road stays off.
core::Proof* pathlib_proof() noexcept { return nullptr; }

const Pathlib& pathlib() noexcept {
    static const Pathlib none;
    return none;
}

}  // namespace crenly::creation::road

#endif
