#include "sim/kov74_network.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace veldc::sim {

Kov74Network::Kov74Network(LineTiming timing) : timing_(timing) {}

void Kov74Network::AddTerminal(Terminal *terminal) { terminals_.push_back(terminal); }

void Kov74Network::CreateTerminals(int count, const std::string &model) {
  terminals_.clear();
  owned_.clear();
  mailboxes_.clear();
  for (int address = 1; address <= count && address <= 254; ++address) {
    owned_.push_back(std::make_unique<Terminal>(model, address));
    terminals_.push_back(owned_.back().get());
  }
}

Terminal *Kov74Network::At(int address) const {
  for (Terminal *terminal : terminals_) {
    if (terminal->Address() == address) return terminal;
  }
  return nullptr;
}

int Kov74Network::Open(int port, int mode, int c254, int option) {
  if (overrides_[kOpen].set) {
    if (overrides_[kOpen].result > 0) open_ = true;
    return overrides_[kOpen].result;
  }
  if (port < 1 || port > 4 || mode < 0 || mode > 2 || c254 != 254 ||
      (option != -1 && option != 0)) {
    return -1;
  }
  if (open_) return -3;
  open_ = true;
  speed_ = 0;
  mailboxes_.clear();
  return 1;
}

int Kov74Network::SetSpeed(int code) {
  if (overrides_[kSpeed].set) return overrides_[kSpeed].result;
  if (!open_ || code < 0 || code > 3) return -1;
  speed_ = code;
  return 0;
}

int Kov74Network::Close() {
  if (overrides_[kClose].set) {
    if (overrides_[kClose].result == 0) open_ = false;
    return overrides_[kClose].result;
  }
  if (!open_) return -255;
  open_ = false;
  mailboxes_.clear();
  return 0;
}

int Kov74Network::Poll(int address, char *record, Micros now) {
  if (overrides_[kPoll].set) return overrides_[kPoll].result;
  Terminal *terminal = At(address);
  if (!open_ || terminal == nullptr || record == nullptr) return 0;
  std::string text;
  auto &mailbox = mailboxes_[address];
  if (!mailbox.empty() && mailbox.front().first <= now) {
    text = mailbox.front().second;
    mailbox.pop_front();
  } else if (!terminal->TakeMessage(now, &text)) {
    return 1;
  }
  const int sender = from_ >= 0 ? from_ : terminal->ReplyAddress();
  if (text.size() > kMaxText) text.resize(kMaxText);
  record[0] = static_cast<char>(sender);
  std::memcpy(record + 1, text.c_str(), text.size() + 1);
  return 2;
}

int Kov74Network::Send(int address, const char *text, Micros now) {
  if (overrides_[kSend].set) return overrides_[kSend].result;
  Terminal *terminal = At(address);
  if (!open_ || terminal == nullptr || text == nullptr || std::strlen(text) > kMaxSend) return 1;
  const TerminalFaults &faults = terminal->Faults();
  auto &mailbox = mailboxes_[address];
  const std::string command = text;
  // The EOT command interrupts what the terminal was still sending.
  if (command == std::string(1, kEot)) mailbox.clear();
  Micros at = now + timing_.replyDelay + faults.replyDelay;
  bool first = true;
  for (const std::string &line : terminal->Handle(command, now)) {
    mailbox.emplace_back(at, (first ? faults.garbage : std::string()) + line);
    first = false;
    at += timing_.lineGap;
  }
  return 0;
}

bool Kov74Network::Apply(const std::string &settings) {
  std::string item;
  std::istringstream in(settings);
  while (std::getline(in, item, settings.find(';') != std::string::npos ? ';' : ',')) {
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string name = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    const int number = std::atoi(value.c_str());
    static const char *const kEntryNames[kEntries] = {"open", "speed", "close", "poll", "send"};
    bool known = false;
    for (int e = 0; e < kEntries; ++e) {
      if (name == kEntryNames[e]) {
        overrides_[e] = Override{true, number};
        known = true;
      }
    }
    if (known) continue;
    if (name == "reset") {
      for (Override &o : overrides_) o = Override();
      from_ = -1;
    } else if (name == "from") {
      from_ = number;
    } else if (name == "terminals") {
      CreateTerminals(number, owned_.empty() ? "Veld" : owned_.front()->Model());
    } else if (name == "model") {
      CreateTerminals(static_cast<int>(owned_.empty() ? 1 : owned_.size()), value);
    } else if (name == "locked") {
      for (Terminal *t : terminals_) t->SetLocked(number != 0);
    } else if (name == "password") {
      for (Terminal *t : terminals_) t->SetPassword(value);
    } else if (name == "echo") {
      for (Terminal *t : terminals_) t->SetEchoLine(number != 0);
    } else if (name == "delay") {
      timing_.replyDelay = static_cast<Micros>(number) * kMillis;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace veldc::sim
