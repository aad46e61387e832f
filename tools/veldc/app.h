// The tool from its arguments to its exit status.
#pragma once

#include <cstdio>
#include <istream>

namespace veldc::cli {

// Runs veldc; returns the exit status: 0, the library's error code, or one of the tool's own
// codes (status.h).
int Run(int argc, char **argv);

}  // namespace veldc::cli
