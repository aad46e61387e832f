// A terminal-network interface on a COM port. The host frames each command as "nnn<command>"
// and a carriage return; the interface passes it to terminal nnn, which must be the one chosen
// with ">PSnnn", and frames the terminal's reply lines the same way. A line ending in "~S" or
// "~R" reports that the interface could not send to or hear from the terminal.
#pragma once

#include <string>
#include <vector>

#include "sim/line_output.h"
#include "sim/terminal.h"

namespace veldc::sim {

class NetworkInterface : public TerminalLine {
 public:
  static constexpr int kNoneSelected = 255;

  enum class Failure { kNone, kSend, kReceive };

  explicit NetworkInterface(std::vector<Terminal *> terminals, LineTiming timing = LineTiming());

  // Makes every framed command fail with "~S" or "~R".
  void SetFailure(Failure failure) { failure_ = failure; }
  int Selected() const { return selected_; }
  // The interface's own commands received ("&", "*0", "@011", ">b", ">PS012", ">P0"...).
  const std::vector<std::string> &SetupCommands() const { return setup_; }

  void FromHost(const uint8_t *data, size_t length, Micros now) override;
  void ToHost(Micros now, std::string *out) override;
  Micros NextDue() const override;

 private:
  void Frame(const std::string &line, Micros now);
  void Answer(int address, const std::string &text, Micros now);

  Failure failure_ = Failure::kNone;
  int selected_ = kNoneSelected;
  std::vector<std::string> setup_;
};

// "%03d" of an address.
std::string ThreeDigits(int address);

}  // namespace veldc::sim
