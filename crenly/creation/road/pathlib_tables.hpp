// The proof table of the native road for one interpreter version: which
// modules hold pathlib's path classes and the functions the road stands for,
// what each attribute of the path class must be, where the calls that the
// road makes itself lie in that code, and the facts the road relies on.
// road/pathlib_proof.cpp proves any such table; each version that the road
// knows has its own (pathlib_3_12.cpp and so on), listed at the end.
#pragma once

#include <cstddef>
#include <span>

namespace crenly::creation::road {

/// The points of pathlib's steps where the road may raise for them (a
/// system call it makes itself, a signal handler's exception): an exception
/// raised there carries pathlib's traceback entries of the calls that lead
/// to it (CallSpec).
enum class Call {
    mkdir_os_mkdir,      // Path.mkdir: os.mkdir(self, mode)
    mkdir_is_dir,        // Path.mkdir: self.is_dir() after a failure
    is_dir_os_stat,      // is_dir: down to its os.stat
    touch_os_utime,      // Path.touch: os.utime(self, None)
    touch_os_open,       // Path.touch: os.open(self, flags, mode)
    touch_os_close,      // Path.touch: os.close(fd)
    is_file_os_stat,     // is_file: down to its os.stat
    absolute_os_getcwd,  // Path.absolute: os.getcwd()
    count_
};

/// What a class attribute (found from some index of the MRO) must be.
enum class Kind {
    function,       // the module's own function
    static_method,  // a staticmethod, classmethod or property holding one,
    class_method,   // that very kind of wrapper
    property,
    member,         // a slot of the owner
    parser_module,  // the module that parses paths (posixpath)
    object,         // object's own (the ordinary attribute lookup)
};

/// A class of the MRO of PosixPath (object excepted), in order.
struct ClassSpec {
    const char* module;
    const char* name;
};

/// An attribute looked up on PosixPath from MRO index `start`; `owner` is the
/// index of the class that must define it (the length of the MRO without
/// object stands for object). A function bound under another name gives its
/// own name as `code`.
struct AttributeSpec {
    const char* name;
    std::size_t start;
    std::size_t owner;
    Kind kind;
    const char* code = nullptr;
};

/// A function of posixpath that the road stands for: Python code of
/// `module`'s own (posixpath's, or genericpath's imported there), or the C
/// function `c_name` of the C module `c_module` bound there.
struct PosixpathSpec {
    const char* name;
    const char* c_module = nullptr;
    const char* c_name = nullptr;
    const char* module = "posixpath";
};

/// A module global that the functions read: `module.name` must be the module
/// `value` or, with `c_name`, the C function `c_name` of the C module `value`.
struct GlobalSpec {
    const char* module;
    const char* name;
    const char* value;
    const char* c_name = nullptr;
};

/// A keyword-only parameter of a function (an attribute of PosixPath) with
/// its default. The listed ones are all its keyword defaults.
enum class Default { true_, none };
struct KeywordSpec {
    const char* function;
    const char* keyword;
    Default value;
};

/// One call on the way to a point (Call): in `function` (an attribute of
/// PosixPath, or with `module` that module's function), the CALL that follows
/// the first (with `last`, the last) load of the attribute `callee`. The
/// calls of one point are listed outermost first.
struct CallSpec {
    Call point;
    const char* function;
    const char* callee;
    bool last = false;
    const char* module = nullptr;
};

struct PathlibTable {
    /// The deepest nesting of Python frames that the steps reach, measured
    /// with a profile function over the road's cases.
    int frames;
    std::span<const ClassSpec> classes;  // PosixPath, Path, ...
    std::size_t path;                    // the index of Path among them
    /// The members among them are the slots of a path object, in PathSlot order.
    std::span<const AttributeSpec> attributes;
    /// Whether Path's own __init__ calls super().__init__ (its __class__
    /// cell must be Path).
    bool path_init;
    /// The module whose globals the path classes' own functions read (os,
    /// posixpath).
    const char* classes_module;
    /// Every module with functions the road stands for: none may hide a
    /// builtin they use.
    std::span<const char* const> function_modules;
    std::span<const PosixpathSpec> posixpath;
    std::span<const GlobalSpec> globals;
    /// Whether absolute() (and is_dir, is_file) reach posixpath through
    /// os.path as well.
    bool os_path;
    std::span<const KeywordSpec> keywords;
    /// The module whose _ignore_error decides which OSErrors of is_dir's and
    /// is_file's stat mean "no" (its _IGNORED_ERRNOS); null: every OSError
    /// and ValueError means "no".
    const char* ignore_error;
    std::span<const CallSpec> calls;
};

/// The minor versions that have a table, pathlib_3_<minor> in
/// pathlib_3_<minor>.cpp (CMakeLists.txt compiles every such file): adding a
/// version is its table file and its entry here. Every build holds all the
/// tables (they are plain data); pathlib_proof.cpp takes the one of the
/// headers' version, and a version without one takes the pathlib steps.
#define CRENLY_PATHLIB_VERSIONS(X) X(12) X(13) X(14) X(15)

#define CRENLY_DECLARE_TABLE(minor) extern const PathlibTable pathlib_3_##minor;
CRENLY_PATHLIB_VERSIONS(CRENLY_DECLARE_TABLE)
#undef CRENLY_DECLARE_TABLE

}  // namespace crenly::creation::road
