// main: the command-line entry point.
#pragma once

#include "crenly/core/ref.hpp"

namespace crenly::cli {

/// main(): parses sys.argv, creates the files, prints the summary and
/// returns the exit status 0 or 1. An exception that leaves the count of
/// the expected paths gains the traceback entry of the generator expression
/// of that count.
core::Ref main();

}  // namespace crenly::cli
