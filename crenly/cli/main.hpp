// main: the command-line entry point.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::cli {

/// main(): parses sys.argv, creates the files, prints the summary and
/// returns the exit status 0 or 1. An exception that leaves the count of
/// the expected paths gains the traceback entry of `genexpr_frame`, the
/// generator expression of that count.
module::Ref main(PyObject* genexpr_frame);

/// True when an element of sys.argv (looked up afresh) is main's "--debug"
/// flag: the failure lines then carry their details.
bool debug_requested();

}  // namespace crenly::cli
