// Serves a byte-level line model on a pseudo-terminal (or on a device path) in real time: a
// thread feeds the model what the host writes and writes the model's output as it falls due.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "sim/byte_line.h"

namespace veldc::sim {

class PtyServer {
 public:
  // The model is not owned; it must outlive the server.
  explicit PtyServer(ByteLine &line);
  ~PtyServer();
  PtyServer(const PtyServer &) = delete;
  PtyServer &operator=(const PtyServer &) = delete;

  // Creates a pty in raw mode and serves the model on its master side. The host opens
  // SlavePath(). False with a reason in `error` when the pty cannot be made.
  bool Start(std::string *error);
  // Serves the model on a device the host reaches some other way (a serial port, the far end
  // of a pty pair made elsewhere).
  bool StartOnDevice(const std::string &path, std::string *error);
  // Ends the thread and closes what the server opened; safe to call more than once.
  void Stop();

  const std::string &SlavePath() const { return slavePath_; }
  // Held by the serving thread while it calls the model: take it to touch the model's state
  // (faults, files) while it is being served.
  std::mutex &ModelMutex() { return mutex_; }
  // Microseconds since Start, the time the model is given.
  Micros Now() const;

 private:
  bool Launch(std::string *error);
  void Run();
  void Pump(Micros now);

  ByteLine &line_;
  int io_ = -1;      // the side the server reads and writes
  int keeper_ = -1;  // the pty's slave, held open so the master never sees a hang-up
  int wake_[2] = {-1, -1};
  std::string slavePath_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  int64_t startNs_ = 0;
};

}  // namespace veldc::sim
