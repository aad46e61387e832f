// Serving terminals on a serial line: a pty of our own or a device path.
#pragma once

#include <atomic>

#include "options.h"

namespace veldc::simtool {

// Runs until `stop` is set. Prints the line's path on stdout first. Returns the exit status.
int ServeSerial(const Options &options, const std::atomic<bool> &stop);

}  // namespace veldc::simtool
