// The module body: the statements that the exec step runs once per process.
#pragma once

namespace crenly::module {

/// Runs the body statement by statement. `line` is kept at the line of the
/// statement being run, for the traceback entry of a failure.
void run_body(int& line);

}  // namespace crenly::module
