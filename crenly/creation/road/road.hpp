// The native road of create_file: the system calls that pathlib makes for
// it, made here, standing in for pathlib's code only while that code is
// proved to be the genuine code (road/pathlib_proof.hpp), checked again
// after every point where Python code could have run.
#pragma once

#include "crenly/core/genuine.hpp"

namespace crenly::creation::road {

#ifdef _WIN32
// Windows keeps the pathlib steps.
inline bool create(PyObject* /*self*/, PyObject* /*filepath*/) { return false; }
inline core::Proof* proof() noexcept { return nullptr; }
#else
/// The road's proof (null on Windows, which has no road).
core::Proof* proof() noexcept;

/// Creates `filepath` (an exact str) for `self` as create_file's steps
/// would, making the system calls itself while it may, and handing over to
/// the Python-level steps at the point where it may not: true when the
/// creation ran to its end (a failure leaves by exception, as there). False
/// when the road was not taken at all; nothing has been done then.
bool create(PyObject* self, PyObject* filepath);
#endif

}  // namespace crenly::creation::road
