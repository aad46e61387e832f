#include "sim/direct_line.h"

#include <algorithm>

namespace veldc::sim {

DirectLine::DirectLine(Terminal &terminal, LineTiming timing)
    : TerminalLine({&terminal}, timing), terminal_(terminal) {}

void DirectLine::FromHost(const uint8_t *data, size_t length, Micros now) {
  for (const std::string &command : collector_.Add(data, length)) {
    // The EOT command interrupts whatever the terminal was still sending.
    if (command == std::string(1, kEot)) output_.Clear();
    QueueReply(terminal_.Faults(), terminal_.Handle(command, now), "", leadingLineFeed_, timing_,
               now, &output_);
  }
}

void DirectLine::ToHost(Micros now, std::string *out) {
  std::string message;
  while (terminal_.TakeMessage(now, &message)) {
    QueueReply(terminal_.Faults(), {message}, "", leadingLineFeed_, LineTiming{0, 0}, now,
               &output_);
  }
  output_.Pull(now, out);
}

Micros DirectLine::NextDue() const {
  return std::min(output_.NextDue(), terminal_.NextMessageDue());
}

}  // namespace veldc::sim
