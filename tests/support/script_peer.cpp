#include "support/script_peer.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace veldc::test {

void ScriptPeer::SendAt(Micros at, std::string bytes) {
  // Kept in time order; bytes due at the same instant keep the order they were given in.
  auto it = out_.end();
  while (it != out_.begin() && std::prev(it)->first > at) --it;
  out_.emplace(it, at, std::move(bytes));
}

void ScriptPeer::SendLater(std::string bytes, Micros delay) {
  SendAt(lastHeard_ + delay, std::move(bytes));
}

void ScriptPeer::FromHost(const uint8_t *data, size_t length, Micros now) {
  lastHeard_ = now;
  for (size_t i = 0; i < length; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c != '\r') {
      partial_ += c;
      // A modem takes "+++" alone as the escape, with no line end.
      if (partial_ != "+++") continue;
    }
    lines_.push_back(partial_);
    std::string answer;
    if (!replies_.empty()) {
      answer = std::move(replies_.front());
      replies_.pop_front();
    } else if (responder_) {
      answer = responder_(partial_);
    }
    partial_.clear();
    if (!answer.empty()) SendAt(now + replyDelay, std::move(answer));
  }
}

void ScriptPeer::ToHost(Micros now, std::string *out) {
  while (!out_.empty() && out_.front().first <= now) {
    *out += out_.front().second;
    out_.pop_front();
  }
}

int ScriptKov74::Open(int port, int mode, int constant, int option) {
  const int args[4] = {port, mode, constant, option};
  std::copy(args, args + 4, opened);
  return openResult;
}
int ScriptKov74::SetSpeed(int) { return speedResult; }

int ScriptKov74::Poll(int address, char *record, Micros now) {
  polls.push_back(address);
  while (!due_.empty() && due_.front().first <= now) {
    waiting.push_back(due_.front().second);
    due_.pop_front();
  }
  if (!waiting.empty()) {
    record[0] = static_cast<char>(waiting.front().first);
    std::strcpy(record + 1, waiting.front().second.c_str());
    waiting.pop_front();
    return 2;
  }
  return present ? 1 : 0;
}

int ScriptKov74::Send(int address, const char *text, Micros now) {
  int r = 0;
  if (!sendResults.empty()) {
    r = sendResults.front();
    sendResults.pop_front();
  }
  sent.emplace_back(address, text);
  if (r == 0 && responder) {
    for (auto &m : responder(address, text)) due_.emplace_back(now + replyDelay, m);
  }
  return r;
}

}  // namespace veldc::test
