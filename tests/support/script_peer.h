// Scripted far ends for unit tests on virtual time: a serial line that answers each line the
// host sends with scripted bytes, and a Kov74 driver whose terminal answers from a script.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/virtual/virtual_platform.h"

namespace veldc::test {

using platform::virt::Micros;

class ScriptPeer : public platform::virt::SerialPeer {
 public:
  // Called with each line the host sends (without its CR); returns the bytes to send back.
  using Responder = std::function<std::string(const std::string &line)>;

  // Replies are taken in order, one per received line; without any, the responder answers.
  void Reply(std::string bytes) { replies_.push_back(std::move(bytes)); }
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  // Bytes sent on the peer's own account, due `delay` after the last thing it heard.
  void SendLater(std::string bytes, Micros delay = 0);
  void SendAt(Micros at, std::string bytes);
  Micros replyDelay = 2000;  // 2 ms between a line and its answer

  const std::vector<std::string> &Lines() const { return lines_; }

  void FromHost(const uint8_t *data, size_t length, Micros now) override;
  void ToHost(Micros now, std::string *out) override;
  Micros NextDue() const override {
    return out_.empty() ? platform::virt::kNever : out_.front().first;
  }

 private:
  std::deque<std::string> replies_;
  Responder responder_;
  std::vector<std::string> lines_;
  std::string partial_;
  Micros lastHeard_ = 0;
  std::deque<std::pair<Micros, std::string>> out_;
};

// A Kov74 driver with one scripted terminal per address.
class ScriptKov74 : public platform::virt::Kov74Peer {
 public:
  int openResult = 1;
  int speedResult = 0;
  // The last Open's arguments: port, mode, constant, option.
  int opened[4] = {};
  // Send results, in order (then 0).
  std::deque<int> sendResults;
  // Whether the terminal answers a poll with "there" (1) when no message is waiting.
  bool present = false;
  // Messages waiting: sender address and text.
  std::deque<std::pair<int, std::string>> waiting;
  // Answers a sent text with (sender, text) messages.
  std::function<std::vector<std::pair<int, std::string>>(int address, const std::string &text)>
      responder;
  std::vector<std::pair<int, std::string>> sent;
  std::vector<int> polls;
  Micros replyDelay = 3000;

  int Open(int port, int mode, int c254, int option) override;
  int SetSpeed(int code) override;
  int Close() override { return 0; }
  int Poll(int address, char *record, Micros now) override;
  int Send(int address, const char *text, Micros now) override;

 private:
  std::deque<std::pair<Micros, std::pair<int, std::string>>> due_;
};

}  // namespace veldc::test
