// FileCreator: the constructor and single-file creation.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::creation {

/// FileCreator.__init__(self): the icon path, and Growl when available.
module::Ref init(PyObject* self);

/// FileCreator.create_file(self, filepath): True when the file was created;
/// otherwise the failure line (and with --debug the traceback, which gains
/// the entry of `traceback_code`) and False.
module::Ref create_file(PyObject* self, PyObject* filepath, PyObject* traceback_code);

/// Raises the OSError of C error `number` for `file_path` (str() of it; none
/// when null), IsADirectoryError for EISDIR and so on.
[[noreturn]] void raise_os_error(int number, PyObject* file_path);

/// Copies the absolute path of `file_path` to the clipboard; a failure is
/// reported as a warning line and otherwise ignored.
void copy_to_clipboard(PyObject* file_path);

/// The steps of create_file once the file exists: the clipboard copy (when
/// HAS_CLIPBOARD), `self._notify(str(file_path))`, the success line.
void finish_creation(PyObject* self, PyObject* file_path);

/// The success line, '\u2713 File created: "<absolute path>"'.
module::Ref created_line(PyObject* absolute);

/// The success line of the absolute path `directory` + `separator` + `path`.
module::Ref created_line(PyObject* directory, PyObject* separator, PyObject* path);

}  // namespace crenly::creation
