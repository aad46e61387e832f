#include "sim/logon_line.h"

#include <algorithm>

namespace veldc::sim {

LogonLine::LogonLine(std::vector<Terminal *> terminals, LineTiming timing)
    : TerminalLine(std::move(terminals), timing) {}

bool LogonLine::LineCommand(const std::string &command, Micros now) {
  std::string reply;
  if (command == "LOGOFF") {
    reply = loggedOn_ != 0 ? "LOGOFF" : "LOGOFF ??";
    loggedOn_ = 0;
  } else if (command.size() == 9 && command.compare(0, 6, "LOGON ") == 0 &&
             command.find_first_not_of("0123456789", 6) == std::string::npos) {
    const int address = std::stoi(command.substr(6));
    if (refuseLogon_ || address < 1 || address >= kMaxTerminals || At(address) == nullptr) {
      reply = "LOGON ??";
    } else {
      loggedOn_ = address;
      reply = command;
    }
  } else {
    return false;
  }
  QueueReply(kNoFaults, {reply}, "", false, timing_, now, &output_);
  return true;
}

void LogonLine::FromHost(const uint8_t *data, size_t length, Micros now) {
  for (const std::string &command : collector_.Add(data, length)) {
    if (command == std::string(1, kEot)) output_.Clear();
    if (LineCommand(command, now)) continue;
    Terminal *terminal = At(loggedOn_);
    if (terminal == nullptr) continue;  // nobody there to answer
    QueueReply(terminal->Faults(), terminal->Handle(command, now), "", false, timing_, now,
               &output_);
  }
}

void LogonLine::ToHost(Micros now, std::string *out) {
  // Only the terminal holding the line can speak on it.
  if (Terminal *terminal = At(loggedOn_)) {
    std::string message;
    while (terminal->TakeMessage(now, &message)) {
      QueueReply(terminal->Faults(), {message}, "", false, LineTiming{0, 0}, now, &output_);
    }
  }
  output_.Pull(now, out);
}

Micros LogonLine::NextDue() const {
  Terminal *terminal = At(loggedOn_);
  return std::min(output_.NextDue(),
                  terminal != nullptr ? terminal->NextMessageDue() : ByteLine::kNever);
}

}  // namespace veldc::sim
