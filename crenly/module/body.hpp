// The module body: the statements that the exec step runs once per process.
#pragma once

namespace crenly::module {

/// The module's docstring, the first thing of its code after the line of
/// its own that opens the virtual file.
inline constexpr const char* module_doc =
    "\n"
    "crenly - Create blank files with notification support\n"
    "Cross-platform file creation utility with clipboard integration\n"
    "\n"
    "Author: The crenly team <team@crenly.dev>\n"
    "Version: 2.0\n";

/// Runs the body statement by statement. `line` is kept at the line of the
/// statement being run, for the traceback entry of a failure.
void run_body(int& line);

}  // namespace crenly::module
