// The texts that pathlib's path class makes of a path, made here:
// str(Path(text)), the bytes of the path and of its parent, and
// str(Path(text).absolute()).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "crenly/core/ref.hpp"

namespace crenly::creation::road {

/// The texts of one path: `str(Path(filepath))` and the file-system bytes
/// of it and of its parent.
struct Texts {
    core::Ref text;
    Py_ssize_t root = 0;         // the root's length: 0, 1 ("/") or 2 ("//")
    Py_ssize_t count = 0;        // the components
    core::Ref encoded;           // the bytes of `text`, unless it is ASCII
    const char* file = nullptr;  // null-terminated: the data of `text` or of `encoded`
    std::size_t file_size = 0;
    std::string parent;
};

/// Fills `t`; false when the bytes cannot be made (an unencodable
/// character, an embedded null): os would raise, and the Python-level
/// steps do. Runs no Python code (the file system's encoding is proved to be
/// UTF-8 with surrogate escapes, whose codec is C).
bool make_texts(PyObject* filepath, Texts& t);

/// `str(Path(filepath).absolute())` for the texts `t` of a relative path,
/// `cwd` being the bytes of the current directory.
core::Ref absolute_text(const Texts& t, std::string_view cwd);

}  // namespace crenly::creation::road
