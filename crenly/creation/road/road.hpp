// The native road of create_file: the system calls that pathlib makes for
// it, made here, standing in for pathlib's code only while that code is
// proved to be the genuine code (road/pathlib_proof.hpp).
#pragma once

#include <cstdint>

#include "crenly/core/ref.hpp"

namespace crenly::creation::road {

#ifdef _WIN32
// Windows keeps the pathlib steps.
inline bool create(PyObject* /*self*/, PyObject* /*filepath*/) { return false; }
inline std::uint64_t calls() noexcept { return 0; }
#else
/// Creates `filepath` (an exact str) for `self` as create_file's steps
/// would, making the system calls itself while it may, and handing over to
/// the Python-level steps at the point where it may not: true when the
/// creation ran to its end (a failure leaves by exception, as there). False
/// when the road was not taken at all; nothing has been done then.
bool create(PyObject* self, PyObject* filepath);

/// How many calls took the road since the module was loaded.
std::uint64_t calls() noexcept;
#endif

}  // namespace crenly::creation::road
