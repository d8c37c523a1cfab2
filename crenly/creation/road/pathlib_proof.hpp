// What the native road stands for in the running interpreter's pathlib, and
// the facts of that pathlib the road relies on. Each supported interpreter
// version has its own table (pathlib_<version>.cpp); the build refuses
// any other version.
#pragma once

#include "crenly/core/genuine.hpp"

namespace crenly::creation::road {

/// The facts of the proved pathlib; valid while its proof is licensed.
struct Pathlib {
    PyTypeObject* concrete = nullptr;     // the class of Path(str): PosixPath
    PyMemberDef* raw_paths = nullptr;     // where Path(text) keeps [text]
    unsigned mkdir_mode = 0;              // Path.mkdir's default mode
    unsigned touch_mode = 0;              // Path.touch's default mode
    PyObject* pathlib_globals = nullptr;  // pathlib's namespace
    PyObject* touch_code = nullptr;       // Path.touch's code
    int close_call = 0;                   // the byte offset of its os.close(fd) call
};

/// The proof of everything that `Path(filepath)`, `.parent.mkdir(parents=True,
/// exist_ok=True)`, `.is_dir()`, `.touch(exist_ok=True)`, `.is_file()`,
/// `str()` and `.absolute()` run: pathlib's path classes and functions, the
/// os, posixpath, sys and builtin functions they call, the global Path of
/// the module, and os.stat_result.
core::Proof* pathlib_proof() noexcept;

/// The facts that the last successful proof found.
const Pathlib& pathlib() noexcept;

}  // namespace crenly::creation::road
