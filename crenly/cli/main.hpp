// main: the command-line entry point.
#pragma once

#include "crenly/module/ref.hpp"

namespace crenly::cli {

/// Body of main(): parses sys.argv, creates the files, prints the summary
/// and returns the exit status 0 or 1.
module::Ref main_body(PyObject* const* args);

}  // namespace crenly::cli
