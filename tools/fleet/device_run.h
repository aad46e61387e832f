// One device's part of a run: its terminals in turn, every job on each, retrying what is worth
// retrying, and the exactly-once collect against the store.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "inventory.h"
#include "store.h"

namespace veldc::fleet {

struct JobResult {
  std::string job;
  bool ok = false;
  int code = 0;  // the worker's error code, when it failed
  std::string message;
  int records = 0;  // new records stored (collect)
  int attempts = 0;
};

struct TerminalResult {
  int address = -1;
  bool ok = true;
  int records = 0;
  std::vector<JobResult> jobs;
};

struct DeviceResult {
  std::string name;
  bool ok = true;
  bool doneByOther = false;  // another collector did it during this run
  std::string message;       // why the device failed as a whole
  int records = 0;
  int attempts = 0;  // worker starts
  double seconds = 0;
  std::vector<TerminalResult> terminals;
};

// Everything a device run needs from the coordinator.
struct RunContext {
  const Inventory &inventory;
  Store &store;
  std::mutex &storeMutex;  // the store's one connection is shared by every device thread
  int64_t run = 0;
  std::string workDir;  // upload files and worker logs
  std::string veldc;    // the worker program
  // Told what the device is doing now ("terminal 3: collect TRANS", "retry 1 in 2 s").
  std::function<void(const std::string &device, const std::string &state)> progress;
  // Told each job's outcome as it happens.
  std::function<void(const std::string &device, int terminal, const JobResult &)> finished;
};

// Runs every job on every terminal of `device`. The device must be claimed.
DeviceResult RunDevice(const RunContext &context, const Device &device);

// Library codes worth another attempt: time-outs, lines and sockets that failed on the way,
// transfers cut short, a busy port or modem.
bool Retryable(int code);

// The sum of every record byte as a signed value, remainder by 32768 with the sum's sign: the
// checksum a terminal reports after a file.
int Checksum(const std::vector<std::string> &records);

// Whether `records` begins with exactly `prefix`.
bool StartsWith(const std::vector<std::string> &records, const std::vector<std::string> &prefix);

}  // namespace veldc::fleet
