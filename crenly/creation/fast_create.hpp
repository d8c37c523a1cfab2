// The native road of create_file: the system calls that pathlib makes for
// it, made here, taken only while everything that road stands for is the
// genuine object.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::creation {

/// Creates `filepath` (an exact str) for `self` as the Python-level steps
/// of create_file would, making the system calls itself: True when done
/// (the file made, the success line printed). False when the caller must
/// take the Python-level steps instead: something is not genuine, the path
/// is unusual, or a system call failed; the file system is then as those
/// steps would find it or leave it themselves (at most the parent directory
/// made, which they would make first). Errors of the later steps (the
/// clipboard flag, _notify, the console line) leave by exception, as there.
bool create_fast(PyObject* self, PyObject* filepath);

}  // namespace crenly::creation
