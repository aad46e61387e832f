#include "sim/network_interface.h"

#include <algorithm>
#include <cstdio>

namespace veldc::sim {

namespace {

bool Digits(const std::string &text, size_t from, size_t count) {
  if (text.size() < from + count) return false;
  for (size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}
}  // namespace

std::string ThreeDigits(int address) {
  char text[8];
  std::snprintf(text, sizeof text, "%03d", address % 1000);
  return text;
}

NetworkInterface::NetworkInterface(std::vector<Terminal *> terminals, LineTiming timing)
    : TerminalLine(std::move(terminals), timing) {}

void NetworkInterface::FromHost(const uint8_t *data, size_t length, Micros now) {
  for (const std::string &line : collector_.Add(data, length)) Frame(line, now);
}

void NetworkInterface::Frame(const std::string &line, Micros now) {
  if (line.compare(0, 3, ">PS") == 0 && Digits(line, 3, 3) && line.size() == 6) {
    selected_ = std::stoi(line.substr(3));
    setup_.push_back(line);
    return;
  }
  if (line == ">P0") selected_ = kNoneSelected;
  if (!Digits(line, 0, 3)) {
    // "&", "*0", "@011", ">b", ">P0": the interface's own settings; they have no answer.
    setup_.push_back(line);
    return;
  }
  const int address = std::stoi(line.substr(0, 3));
  Answer(address, line.substr(3), now);
}

void NetworkInterface::Answer(int address, const std::string &text, Micros now) {
  const std::string prefix = ThreeDigits(address);
  if (failure_ == Failure::kSend || address != selected_) {
    QueueReply(kNoFaults, {"~S"}, prefix, false, timing_, now, &output_);
    return;
  }
  Terminal *terminal = At(address);
  if (failure_ == Failure::kReceive || terminal == nullptr) {
    QueueReply(kNoFaults, {"~R"}, prefix, false, timing_, now, &output_);
    return;
  }
  if (text == std::string(1, kEot)) output_.Clear();
  QueueReply(terminal->Faults(), terminal->Handle(text, now), ThreeDigits(terminal->ReplyAddress()),
             false, timing_, now, &output_);
}

void NetworkInterface::ToHost(Micros now, std::string *out) {
  std::string message;
  for (Terminal *terminal : terminals_) {
    while (terminal->TakeMessage(now, &message)) {
      QueueReply(terminal->Faults(), {message}, ThreeDigits(terminal->ReplyAddress()), false,
                 LineTiming{0, 0}, now, &output_);
    }
  }
  output_.Pull(now, out);
}

Micros NetworkInterface::NextDue() const {
  Micros next = output_.NextDue();
  for (Terminal *terminal : terminals_) next = std::min(next, terminal->NextMessageDue());
  return next;
}

}  // namespace veldc::sim
