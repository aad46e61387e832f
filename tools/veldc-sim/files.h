// Files between the PC's directories and the simulated terminals.
#pragma once

#include <string>

#include "sim/terminal.h"

namespace veldc::simtool {

// Puts every regular file of `dir` whose name can be a terminal file name (1 to 8 visible
// characters, upper-cased) on drive C, one record per line (CR LF, CR or LF ends a line).
// Returns the number of files loaded, or -1 when the directory cannot be read.
int LoadFiles(const std::string &dir, sim::Terminal *terminal);

// Writes the loads the host has closed since `*saved` (a count kept by the caller) into `dir`:
// a file under its terminal name, the program as "PROGRAM", records ended by CR LF. A name
// that would leave `dir` ("../X", "/X", "..") is reported on stderr and not written.
// Returns false when a file could not be written.
bool SaveLoads(const std::string &dir, const sim::Terminal &terminal, size_t *saved);

}  // namespace veldc::simtool
