// A COM port wired to one terminal: the command and a carriage return go out, the reply lines
// come back each ended by a carriage return.
#pragma once

#include "sim/line_output.h"
#include "sim/terminal.h"

namespace veldc::sim {

class DirectLine : public TerminalLine {
 public:
  explicit DirectLine(Terminal &terminal, LineTiming timing = LineTiming());

  // Some terminals put a line feed in front of every reply line.
  void SetLeadingLineFeed(bool on) { leadingLineFeed_ = on; }

  void FromHost(const uint8_t *data, size_t length, Micros now) override;
  void ToHost(Micros now, std::string *out) override;
  Micros NextDue() const override;

 private:
  Terminal &terminal_;
  bool leadingLineFeed_ = false;
};

}  // namespace veldc::sim
