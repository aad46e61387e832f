#include "sim/modem.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace veldc::sim {

Modem::Modem(ByteLine &behind, ModemTiming timing) : behind_(behind), timing_(timing) {}

void Modem::FromHost(const uint8_t *data, size_t length, Micros now) {
  CheckEscape(now);
  for (size_t i = 0; i < length; ++i) {
    const char c = static_cast<char>(data[i]);
    if (dataMode_) {
      DataByte(c, now);
    } else {
      CommandByte(c, now);
    }
    lastByteAt_ = now;
    anyByte_ = true;
  }
}

void Modem::DataByte(char c, Micros now) {
  // A "+" after a guard time of silence may open an escape; hold it until we know.
  const bool quietBefore = !anyByte_ || now - lastByteAt_ >= timing_.guard;
  if (c == '+' && (!held_.empty() || quietBefore) && held_.size() < 3) {
    held_ += c;
    return;
  }
  std::string bytes = held_ + c;
  held_.clear();
  behind_.FromHost(bytes, now);
}

void Modem::CommandByte(char c, Micros now) {
  if (echo_ && !echoLost_) output_.Push(std::string(1, c), now);
  if (c == '\n' && line_.empty()) return;
  if (c != '\r') {
    if (line_.size() < LineCollector::kMaxLine) line_ += c;
    return;
  }
  std::string line = std::move(line_);
  line_.clear();
  Execute(line, now);
}

void Modem::Result(const std::string &code, Micros at) {
  if (!quiet_) output_.Push("\r\n" + code + "\r\n", at);
}

void Modem::Execute(const std::string &line, Micros now) {
  if (line.empty()) return;
  commands_.push_back(line);
  const Micros at = now + timing_.resultDelay;
  std::string upper = line;
  for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.compare(0, 2, "AT") != 0) {
    Result("ERROR", at);
    return;
  }
  if (upper.compare(0, 3, "ATD") == 0) {
    number_ = line.substr(3);
    dialing_ = true;
    connectAt_ = now + timing_.dialDelay;
    return;
  }
  if (upper == "ATH" || upper == "ATH0") {
    connected_ = false;
    dataMode_ = false;
    Result("OK", at);
    return;
  }
  if (upper == "ATO" && connected_) {
    dataMode_ = true;
    Result("CONNECT " + std::to_string(speed_), at);
    return;
  }
  // The settings this modem knows: E (echo), Q (quiet), S7 (wait for carrier), Z (reset).
  for (size_t i = 2; i < upper.size(); ++i) {
    const char c = upper[i];
    const char next = i + 1 < upper.size() ? upper[i + 1] : '0';
    if (c == 'E') {
      echo_ = next == '1';
    } else if (c == 'Q') {
      quiet_ = next == '1';
    } else if (c == 'Z') {
      echo_ = true;
      quiet_ = false;
    } else if (upper.compare(i, 3, "S7=") == 0) {
      s7_ = std::atoi(upper.c_str() + i + 3);
    }
  }
  Result("OK", at);
}

void Modem::CheckEscape(Micros now) {
  if (dialing_ && now >= connectAt_) {
    dialing_ = false;
    switch (dialResult_) {
      case DialResult::kConnect:
        connected_ = true;
        dataMode_ = true;
        anyByte_ = false;
        Result("CONNECT " + std::to_string(speed_), connectAt_);
        break;
      case DialResult::kNoCarrier:
        Result("NO CARRIER", connectAt_);
        break;
      case DialResult::kBusy:
        Result("BUSY", connectAt_);
        break;
      case DialResult::kSilent:
        break;
    }
  }
  if (held_.size() == 3 && now - lastByteAt_ >= timing_.guard) {
    held_.clear();
    dataMode_ = false;
    Result("OK", lastByteAt_ + timing_.guard);
  }
  // In command mode a lone "+++" followed by silence is answered the same way.
  if (!dataMode_ && line_ == "+++" && now - lastByteAt_ >= timing_.guard) {
    line_.clear();
    Result("OK", lastByteAt_ + timing_.guard);
  }
}

void Modem::ToHost(Micros now, std::string *out) {
  CheckEscape(now);
  output_.Pull(now, out);
  if (dataMode_ && output_.Empty()) behind_.ToHost(now, out);
}

Micros Modem::NextDue() const {
  Micros next = output_.NextDue();
  if (dialing_) next = std::min(next, connectAt_);
  if (held_.size() == 3 || (!dataMode_ && line_ == "+++")) {
    next = std::min(next, lastByteAt_ + timing_.guard);
  }
  if (dataMode_) next = std::min(next, behind_.NextDue());
  return next;
}

}  // namespace veldc::sim
