// The pieces every serial line model shares: collecting command lines from the host's bytes,
// and releasing reply bytes at the instants they are due.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "sim/byte_line.h"
#include "sim/terminal.h"

namespace veldc::sim {

// How long a line takes to answer: the pause before a reply's first line and between lines.
struct LineTiming {
  Micros replyDelay = 20 * kMillis;
  Micros lineGap = 2 * kMillis;
};

// Splits the host's bytes into lines at each carriage return. A line feed before a line's first
// character is dropped (hosts may send CR LF), and so are the flow-control characters XON and
// XOFF, which are never data. A line keeps its first kMaxLine bytes and drops the rest up to
// its carriage return, as a terminal's input buffer does: a flood without line ends costs no
// memory.
class LineCollector {
 public:
  static constexpr size_t kMaxLine = 256;
  // Adds bytes; returns the lines they completed.
  std::vector<std::string> Add(const uint8_t *data, size_t length);
  const std::string &Partial() const { return partial_; }
  void Clear() { partial_.clear(); }

 private:
  std::string partial_;
};

// Bytes waiting for their instant.
class TimedOutput {
 public:
  // Queues `bytes` due at `at`, but never before what is already queued.
  void Push(std::string bytes, Micros at);
  void Pull(Micros now, std::string *out);
  Micros NextDue() const { return chunks_.empty() ? ByteLine::kNever : chunks_.front().first; }
  Micros LastDue() const { return chunks_.empty() ? 0 : chunks_.back().first; }
  bool Empty() const { return chunks_.empty(); }
  void Clear() { chunks_.clear(); }

 private:
  std::deque<std::pair<Micros, std::string>> chunks_;
};

// What the serial line models share: the terminals on the line, its timing, the command lines
// collected from the host and the reply bytes waiting for their instant.
class TerminalLine : public ByteLine {
 public:
  using ByteLine::FromHost;

 protected:
  TerminalLine(std::vector<Terminal *> terminals, LineTiming timing)
      : terminals_(std::move(terminals)), timing_(timing) {}
  // The terminal at `address`; null when there is none.
  Terminal *At(int address) const;

  std::vector<Terminal *> terminals_;
  LineTiming timing_;
  LineCollector collector_;
  TimedOutput output_;
};

// The faults of a line's own answers: none.
extern const TerminalFaults kNoFaults;

// Queues reply lines, each framed as `prefix` + line + CR (an optional LF in
// front), with the faults applied: garbage first, a reply delay, a first line that
// never ends (nothing follows it).
void QueueReply(const TerminalFaults &faults, const std::vector<std::string> &lines,
                const std::string &prefix, bool leadingLineFeed, const LineTiming &timing,
                Micros now, TimedOutput *output);

}  // namespace veldc::sim
