#include "sim/pelo_adapter.h"

#include <algorithm>
#include <cstdio>

#include "sim/terminal.h"

namespace veldc::sim {

namespace {

void PutWord(std::string *out, uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}

uint16_t GetWord(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Dotted decimal to host order; false for anything else.
bool ParseAddress(const std::string &text, uint32_t *address) {
  unsigned a, b, c, d;
  char tail;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4) return false;
  if (a > 255 || b > 255 || c > 255 || d > 255) return false;
  *address = a << 24 | b << 16 | c << 8 | d;
  return true;
}

}  // namespace

std::string PeloPacket::Encode() const {
  std::string out;
  PutWord(&out, type);
  PutWord(&out, seq);
  out += text;
  out.push_back('\0');
  return out;
}

bool PeloPacket::Decode(const uint8_t *data, size_t length, PeloPacket *packet) {
  if (length < 4) return false;
  packet->type = GetWord(data);
  packet->seq = GetWord(data + 2);
  const uint8_t *text = data + 4;
  const uint8_t *end = std::find(text, data + length, 0);
  packet->text.assign(reinterpret_cast<const char *>(text), static_cast<size_t>(end - text));
  return true;
}

PeloAdapter::PeloAdapter(uint32_t address, Form form)
    : address_(address), form_(form), chosenAddress_(address), chosenForm_(form) {}

void PeloAdapter::AttachTerminal(Terminal *terminal) { terminals_.push_back(terminal); }

std::string PeloAdapter::StatusText() const {
  return form_ == kNetwork ? "V2.1 PELO C3\r" : "V2.1 PELO C1\r";
}

uint16_t PeloAdapter::NextSeq() {
  seqCounter_ = static_cast<uint16_t>((seqCounter_ + 1) & 0xFF);
  return seqCounter_;
}

void PeloAdapter::EmitRaw(Micros at, std::string bytes) {
  if (faults_.silent) return;
  if (faults_.oversized > 0) {
    --faults_.oversized;
    if (bytes.size() < faults_.oversizedLength) bytes.resize(faults_.oversizedLength, 'x');
  }
  out_.emplace(at, std::move(bytes));
}

void PeloAdapter::Emit(Micros at, const PeloPacket &packet) { EmitRaw(at, Record(packet)); }

std::string PeloAdapter::Record(PeloPacket packet) {
  // The adapter's record holds 131 characters and the zero: a longer text (an echo of what a
  // host sent, a long reply line) is cut to it.
  if (packet.text.size() > kMaxText) packet.text.resize(kMaxText);
  return packet.Encode();
}

void PeloAdapter::Inject(std::string bytes, Micros at) { out_.emplace(at, std::move(bytes)); }

void PeloAdapter::Acknowledge(uint16_t seq, Micros now) {
  if (faults_.lostAcks > 0) {
    --faults_.lostAcks;
    return;
  }
  Emit(now + answerDelay_, PeloPacket{PeloPacket::kAck, seq, ""});
}

void PeloAdapter::Queue(uint16_t type, std::string text, Micros due) {
  backlog_.push_back(Pending{type, std::move(text), due});
}

void PeloAdapter::SendInit(Micros at) { Queue(PeloPacket::kInit, "", at); }

void PeloAdapter::FromHost(const uint8_t *data, size_t length, Micros now) {
  Pump(now);
  PeloPacket packet;
  if (!PeloPacket::Decode(data, length, &packet)) return;
  heard_.push_back(packet);
  // A restarting adapter hears nothing.
  if (resetting_) return;
  switch (packet.type) {
    case PeloPacket::kAck:
      if (inFlight_.active && packet.seq == inFlight_.seq) {
        inFlight_.active = false;
      } else if (packet.seq == 0) {
        // A host greets with an acknowledgement of nothing; we tell it we are up.
        ++greetings_;
        SendInit(now + answerDelay_);
      }
      break;
    case PeloPacket::kCommand:
      Command(packet, now);
      break;
    case PeloPacket::kData:
      Data(packet, now);
      break;
    default:
      break;  // the host has no business sending the rest
  }
}

void PeloAdapter::Command(const PeloPacket &packet, Micros now) {
  if (faults_.errorPackets > 0) {
    --faults_.errorPackets;
    Emit(now + answerDelay_, PeloPacket{PeloPacket::kError, packet.seq, ""});
    return;
  }
  const std::string &text = packet.text;
  const Micros at = now + answerDelay_;
  if (text == "X") {
    Emit(at, PeloPacket{PeloPacket::kCommand, packet.seq, StatusText()});
  } else if (text == "%") {
    if (faults_.ackReset) Emit(at, PeloPacket{PeloPacket::kAck, packet.seq, ""});
    resetting_ = true;
    resetAt_ = now + kResetTime;
  } else if (!text.empty() && text[0] == 'A') {
    uint32_t address;
    if (ParseAddress(text.substr(1), &address)) {
      chosenAddress_ = address;
      Emit(at, PeloPacket{PeloPacket::kCommand, packet.seq, text});
    } else {
      Emit(at, PeloPacket{PeloPacket::kCommand, packet.seq, "?"});
    }
  } else if (!text.empty() && text[0] == 'C') {
    chosenForm_ = text.compare(0, 2, "C3") == 0 ? kNetwork : kSingle;
    Emit(at, PeloPacket{PeloPacket::kCommand, packet.seq, text});
  } else {
    // Commands it does not know are taken without a word.
    Emit(at, PeloPacket{PeloPacket::kAck, packet.seq, ""});
  }
}

void PeloAdapter::Data(const PeloPacket &packet, Micros now) {
  if (faults_.initOnData > 0) {
    --faults_.initOnData;
    SendInit(now + answerDelay_);
    return;
  }
  if (faults_.errorPackets > 0) {
    --faults_.errorPackets;
    Emit(now + answerDelay_, PeloPacket{PeloPacket::kError, packet.seq, ""});
    return;
  }
  Acknowledge(packet.seq, now);
  // The host sends again what we acknowledged if it missed our acknowledgement.
  if (packet.seq == lastHostDataSeq_) return;
  lastHostDataSeq_ = packet.seq;
  const std::string &text = packet.text;
  if (form_ == kNetwork) {
    if (text.empty()) return;
    Carry(static_cast<uint8_t>(text[0]), text.substr(1), now);
  } else {
    std::string line = text;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Carry(0, line, now);
  }
}

Terminal *PeloAdapter::TerminalAt(int address) const {
  if (form_ == kSingle) return terminals_.empty() ? nullptr : terminals_.front();
  for (Terminal *t : terminals_) {
    if (t->Address() == address) return t;
  }
  return nullptr;
}

std::string PeloAdapter::Frame(const Terminal &terminal, const std::string &line) const {
  if (form_ == kNetwork) return std::string(1, static_cast<char>(terminal.ReplyAddress())) + line;
  return line + "\r";
}

void PeloAdapter::Carry(int address, const std::string &line, Micros now) {
  Terminal *terminal = TerminalAt(address);
  if (terminal == nullptr) return;  // nobody at that address: the line is lost
  delivered_.emplace_back(address, line);
  std::vector<std::string> replies = terminal->Handle(line, now);
  const TerminalFaults &tf = terminal->Faults();
  if (tf.silent || replies.empty()) return;
  replies.front() = tf.garbage + replies.front();
  const Micros due = now + answerDelay_ + tf.replyDelay;
  for (const std::string &reply : replies) Queue(PeloPacket::kData, Frame(*terminal, reply), due);
}

void PeloAdapter::FinishReset() {
  resetting_ = false;
  ++resets_;
  address_ = chosenAddress_;
  form_ = chosenForm_;
  // What was on its way to the host is lost with the restart.
  backlog_.clear();
  inFlight_.active = false;
  lastHostDataSeq_ = -1;
  SendInit(resetAt_ + answerDelay_);
}

void PeloAdapter::Pump(Micros now) {
  if (resetting_ && now >= resetAt_) FinishReset();
  for (Terminal *t : terminals_) {
    std::string message;
    while (t->TakeMessage(now, &message)) Queue(PeloPacket::kData, Frame(*t, message), now);
  }
  if (inFlight_.active && now >= inFlight_.resendAt) {
    if (inFlight_.sends < kSends) {
      EmitRaw(now, inFlight_.bytes);
      ++inFlight_.sends;
      inFlight_.resendAt = now + kResendInterval;
    } else {
      inFlight_.active = false;  // given up: the host is not listening
    }
  }
  // One numbered datagram at a time: the next waits for the host's acknowledgement.
  while (!inFlight_.active && !backlog_.empty() && backlog_.front().due <= now) {
    Pending p = std::move(backlog_.front());
    backlog_.pop_front();
    inFlight_.active = true;
    inFlight_.seq = NextSeq();
    inFlight_.bytes = Record(PeloPacket{p.type, inFlight_.seq, p.text});
    inFlight_.sends = 1;
    inFlight_.resendAt = now + kResendInterval;
    EmitRaw(now, inFlight_.bytes);
    if (faults_.repeatedData > 0 && p.type == PeloPacket::kData) {
      --faults_.repeatedData;
      EmitRaw(now, inFlight_.bytes);
    }
  }
}

bool PeloAdapter::ToHost(Micros now, std::string *datagram) {
  Pump(now);
  if (out_.empty() || out_.begin()->first > now) return false;
  *datagram = std::move(out_.begin()->second);
  out_.erase(out_.begin());
  return true;
}

Micros PeloAdapter::NextDue() const {
  Micros next = ByteLine::kNever;
  if (!out_.empty()) next = std::min(next, out_.begin()->first);
  if (resetting_) next = std::min(next, resetAt_);
  if (inFlight_.active) next = std::min(next, inFlight_.resendAt);
  if (!inFlight_.active && !backlog_.empty()) next = std::min(next, backlog_.front().due);
  for (const Terminal *t : terminals_) next = std::min(next, t->NextMessageDue());
  return next;
}

}  // namespace veldc::sim
