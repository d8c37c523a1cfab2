// The proof table of the native road for one interpreter version: which
// modules hold pathlib's path classes and the functions the road stands for,
// what each attribute of the path class must be, and the facts the road
// relies on. road/pathlib_proof.cpp proves any such table; each supported
// version has its own (pathlib_3_12.cpp, pathlib_3_13.cpp).
#pragma once

#include <cstddef>
#include <span>

namespace crenly::creation::road {

/// What a class attribute (found from some index of the MRO) must be.
enum class Kind {
    function,       // the module's own function
    static_method,  // a staticmethod, classmethod or property holding one,
    class_method,   // that very kind of wrapper
    property,
    member,   // a slot of the owner
    flavour,  // the posixpath module
    object,   // object's own (the ordinary attribute lookup)
};

/// A class of the MRO of PosixPath (object excepted), in order.
struct ClassSpec {
    const char* module;
    const char* name;
};

/// An attribute looked up on PosixPath from MRO index `start`; `owner` is the
/// index of the class that must define it (the length of the MRO without
/// object stands for object).
struct AttributeSpec {
    const char* name;
    std::size_t start;
    std::size_t owner;
    Kind kind;
};

/// A function of posixpath that the road stands for: Python code of
/// posixpath's own, or a C function (`c_module`, `c_name`) bound there.
struct PosixpathSpec {
    const char* name;
    const char* c_module = nullptr;
    const char* c_name = nullptr;
};

struct PathlibTable {
    /// The deepest nesting of Python frames that the steps reach, measured
    /// with a profile function over the road's cases.
    int frames;
    std::span<const ClassSpec> classes;  // PosixPath, Path, ...
    std::size_t path;                    // the index of Path among them
    /// The members among them are the slots of a path object, in PathSlot order.
    std::span<const AttributeSpec> attributes;
    /// The module whose globals the path classes' own functions read (os,
    /// posixpath, sys, ntpath), and the one that holds _ignore_error,
    /// S_ISDIR, S_ISREG and the errno tuples.
    const char* classes_module;
    const char* helpers_module;
    /// Every module with functions the road stands for: none may hide a
    /// builtin they use.
    std::span<const char* const> function_modules;
    std::span<const PosixpathSpec> posixpath;
    /// Whether absolute() reaches posixpath through os.path as well.
    bool os_path;
    /// The functions (attributes of PosixPath) whose keyword defaults must
    /// be exactly {"follow_symlinks": True}.
    std::span<const char* const> follow_symlinks;
};

/// The tables of the versions the module builds for (every build holds
/// both: they are plain data); pathlib_proof.cpp takes the one of the
/// headers' version.
extern const PathlibTable pathlib_3_12;
extern const PathlibTable pathlib_3_13;

}  // namespace crenly::creation::road
