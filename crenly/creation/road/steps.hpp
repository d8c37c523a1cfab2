// The steps of create_file at the level of Python code, written once for
// both roads: from the start (the pathlib steps), or from the point where the
// native road hands over, on the path object it made.
#pragma once

#include "crenly/core/ref.hpp"

namespace crenly::creation::road {

/// The path object of one creation and the texts the later steps make of
/// it, at the level of Python code. The native road makes the texts itself
/// while they stand for pathlib's, and the objects only when a Python-level
/// step needs them.
class CreatedPath {
public:
    /// `file_path`, the path object.
    virtual PyObject* object() = 0;
    /// `file_path.parent`.
    virtual core::Ref parent();
    /// `str(file_path)`.
    virtual core::Ref text();
    /// `str(file_path.absolute())`.
    virtual core::Ref absolute_text();

protected:
    ~CreatedPath() = default;
};

/// A path object made by `Path(filepath)`.
class PathObject final : public CreatedPath {
public:
    explicit PathObject(core::Ref object) noexcept : object_(std::move(object)) {}
    PyObject* object() override { return object_.get(); }

private:
    core::Ref object_;
};

/// The steps of create_file after `file_path = Path(filepath)`, in order.
enum class Step { mkdir, is_dir, touch, is_file, finish };

/// Runs the steps of create_file from `from` on: at the level of Python
/// code up to `finish`, the clipboard copy (when HAS_CLIPBOARD),
/// `self._notify(str(file_path))` and the success line after it. A failure
/// leaves by exception.
void steps_from(PyObject* self, CreatedPath& path, Step from);

/// Raises the OSError of C error `number` for `path` (IsADirectoryError for
/// EISDIR and so on): its text from the module global os's strerror, looked
/// up now, and the filename str(path), as the module's own checks raise it.
[[noreturn]] void raise_os_error(int number, CreatedPath& path);

}  // namespace crenly::creation::road
