#include "sim/line_output.h"

#include <algorithm>

namespace veldc::sim {

std::vector<std::string> LineCollector::Add(const uint8_t *data, size_t length) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < length; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\r') {
      lines.push_back(std::move(partial_));
      partial_.clear();
    } else if ((c == '\n' && partial_.empty()) || c == '\x11' || c == '\x13') {
      continue;
    } else if (partial_.size() < kMaxLine) {
      partial_ += c;
    }
  }
  return lines;
}

void TimedOutput::Push(std::string bytes, Micros at) {
  chunks_.emplace_back(std::max(at, LastDue()), std::move(bytes));
}

void TimedOutput::Pull(Micros now, std::string *out) {
  while (!chunks_.empty() && chunks_.front().first <= now) {
    out->append(chunks_.front().second);
    chunks_.pop_front();
  }
}

const TerminalFaults kNoFaults;

Terminal *TerminalLine::At(int address) const {
  for (Terminal *terminal : terminals_) {
    if (terminal->Address() == address) return terminal;
  }
  return nullptr;
}

void QueueReply(const TerminalFaults &faults, const std::vector<std::string> &lines,
                const std::string &prefix, bool leadingLineFeed, const LineTiming &timing,
                Micros now, TimedOutput *output) {
  if (lines.empty()) return;
  Micros at = std::max(now + timing.replyDelay + faults.replyDelay, output->LastDue());
  if (!faults.garbage.empty()) output->Push(faults.garbage, at);
  for (const std::string &line : lines) {
    std::string bytes = (leadingLineFeed ? "\n" : "") + prefix + line;
    if (faults.unendedLine) {
      output->Push(std::move(bytes), at);
      return;
    }
    output->Push(bytes + "\r", at);
    at += timing.lineGap;
  }
}

}  // namespace veldc::sim
