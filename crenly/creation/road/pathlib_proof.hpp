// What the native road stands for in the running interpreter's pathlib, and
// what it takes from that pathlib. Each interpreter version that the road
// knows has its own table (pathlib_<version>.cpp); on any other version the
// proof fails and create_file takes the pathlib steps.
#pragma once

#include "crenly/creation/proof/proof.hpp"
#include "crenly/creation/road/pathlib_tables.hpp"

namespace crenly::creation::road {

/// Where a call of pathlib's code is made: the code, its globals and the
/// offset of its CALL instruction (borrowed, like everything proved).
struct CallSite {
    PyObject* code = nullptr;
    PyObject* globals = nullptr;
    int offset = 0;
};

/// The calls that lead to a point of the steps (Call), outermost first.
struct CallPath {
    CallSite sites[2];
    int count = 0;
};

/// The slots of a path object that pathlib's steps fill as they go: the text
/// given; the parsed drive, root and components (by `parent`, in the mkdir
/// step); the text of the path (by the first os call, in the is_dir step).
enum class PathSlot { raw, drive, root, tail, text, count_ };

/// What the road takes from the proved pathlib: borrowed, valid while the
/// proof holds; `objects` (a tuple of them all) keeps them alive for a
/// creation that holds it, since a nested call may prove afresh meanwhile.
struct ProvedPathlib {
    PyObject* objects = nullptr;
    PyTypeObject* concrete = nullptr;  // the class of Path(str): PosixPath
    PyMemberDef* slots[static_cast<int>(PathSlot::count_)] = {};
    unsigned mkdir_mode = 0;              // Path.mkdir's default mode
    unsigned touch_mode = 0;              // Path.touch's default mode
    PyObject* ignore_error = nullptr;     // the name of is_dir's error filter, in
    PyObject* helpers_globals = nullptr;  // its namespace; null: every OSError is "no"
    CallPath calls[static_cast<int>(Call::count_)];
};

/// The proof of everything that `Path(filepath)`, `.parent.mkdir(parents=True,
/// exist_ok=True)`, `.is_dir()`, `.touch(exist_ok=True)`, `.is_file()`,
/// `str()` and `.absolute()` run: pathlib's path classes and functions, the
/// os, posixpath, sys and builtin functions they call, the global Path of
/// the module, and os.stat_result.
proof::Proof& pathlib_proof() noexcept;

/// What the last successful proof found.
const ProvedPathlib& proved_pathlib() noexcept;

}  // namespace crenly::creation::road
