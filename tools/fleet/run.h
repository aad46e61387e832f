// The coordinator of a fleet run: claims devices, keeps at most N workers going, shows what
// each device does, and reports at the end.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "inventory.h"

namespace veldc::fleet {

// The most devices worked on at once, whatever --parallel says: each is a process with a pipe
// and a line or socket of its own.
constexpr int kMaxParallel = 256;

struct RunOptions {
  int parallel = 0;  // 0: every device, up to kMaxParallel
  std::vector<std::string> only;
  bool json = false;
};

// Exit statuses besides 0 (every job succeeded).
constexpr int kJobsFailed = 1;
constexpr int kStoreFailed = 2;  // the store could not be opened or a run recorded in it

int RunFleet(const Inventory &inventory, const RunOptions &options, std::FILE *out, std::FILE *err);

}  // namespace veldc::fleet
