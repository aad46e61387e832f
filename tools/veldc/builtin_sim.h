// The built-in simulated terminal: a terminal model on a direct line behind a pty, served by a
// thread of this process, so that the library's real serial path is what talks to it.
#pragma once

#include <memory>
#include <string>

namespace veldc::cli {

class BuiltinSimulator {
 public:
  // `model` is "Veld", "Sorvik", "Dulm" or "Qyr". Null with `error` set when it cannot start.
  static std::unique_ptr<BuiltinSimulator> Start(const std::string &model, std::string *error);
  virtual ~BuiltinSimulator() = default;
  // The pty's device path, to be handed to SetPortName.
  virtual const std::string &DevicePath() const = 0;
};

// The models the simulator offers.
bool KnownModel(const std::string &model);

}  // namespace veldc::cli
