// A COM port shared by up to 32 terminals that take turns by logging on. Address 0 is the
// line's own terminal, the one that answers while nobody is logged on; "LOGON nnn" hands the
// line to terminal nnn and "LOGOFF" gives it back.
#pragma once

#include <vector>

#include "sim/line_output.h"
#include "sim/terminal.h"

namespace veldc::sim {

class LogonLine : public TerminalLine {
 public:
  static constexpr int kMaxTerminals = 32;

  explicit LogonLine(std::vector<Terminal *> terminals, LineTiming timing = LineTiming());

  // The address logged on; 0 when none is.
  int LoggedOn() const { return loggedOn_; }
  // A line that answers "LOGON nnn" with "LOGON ??" whatever the address.
  void SetRefuseLogon(bool refuse) { refuseLogon_ = refuse; }

  void FromHost(const uint8_t *data, size_t length, Micros now) override;
  void ToHost(Micros now, std::string *out) override;
  Micros NextDue() const override;

 private:
  // The line's own answers; false when the command is for a terminal.
  bool LineCommand(const std::string &command, Micros now);

  int loggedOn_ = 0;
  bool refuseLogon_ = false;
};

}  // namespace veldc::sim
