// One device's worker: the veldc CLI itself in batch and JSON mode, driven over a pipe one
// command at a time. The worker only talks to terminals; what it uploads lands in PC files the
// coordinator reads.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace veldc::fleet {

class Worker {
 public:
  Worker() = default;
  ~Worker();
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  // Starts `program` with `args` (after argv[0]); its stderr goes to `log` (appended).
  bool Start(const std::string &program, const std::vector<std::string> &args,
             const std::string &log, std::string *error);
  // Sends one batch line and reads the one JSON object it answers. False when the worker ended
  // or took longer than `timeout` seconds (then it is killed), with `error` saying which.
  bool Call(const std::string &line, double timeout, nlohmann::json *reply, std::string *error);
  // Ends the batch (end of input) and waits for the worker; kills it after `grace` seconds.
  void Stop(double grace = 10);
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

 private:
  void Reap(bool kill);

  pid_t pid_ = -1;
  int in_ = -1;   // the worker's stdin
  int out_ = -1;  // the worker's stdout
  std::string buffer_;
};

// A batch-line word, quoted when it needs to be.
std::string Quote(const std::string &word);

}  // namespace veldc::fleet
