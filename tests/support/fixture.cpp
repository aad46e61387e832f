#include "support/fixture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "device/device.h"

namespace veldc::test {

std::string ErrorState() {
  char text[64] = "";
  const int code = GetError(text);
  return std::to_string(code) + " " + text;
}

// Kept in time order; bytes due at the same instant keep the order they were given in.
template <typename Queue>
void Schedule(Queue &queue, Micros at, std::string bytes) {
  auto it = std::upper_bound(queue.begin(), queue.end(), at,
                             [](Micros t, const auto &e) { return t < e.first; });
  queue.emplace(it, at, std::move(bytes));
}

void ScriptPeer::SendAt(Micros at, std::string bytes) { Schedule(out_, at, std::move(bytes)); }

void ScriptPeer::FromHost(const uint8_t *data, size_t length, Micros now) {
  lastHeard_ = now;
  for (size_t i = 0; i < length; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c != '\r') {
      partial_ += c;
      if (partial_ != "+++") continue;  // a modem takes "+++" alone, with no line end
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
  for (; !out_.empty() && out_.front().first <= now; out_.pop_front()) *out += out_.front().second;
}

int ScriptKov74::Poll(int address, char *record, Micros now) {
  polls.push_back(address);
  for (; !due_.empty() && due_.front().first <= now; due_.pop_front()) {
    waiting.push_back(due_.front().second);
  }
  if (waiting.empty()) return 0;
  record[0] = static_cast<char>(waiting.front().first);
  std::strcpy(record + 1, waiting.front().second.c_str());
  waiting.pop_front();
  return 2;
}

int ScriptKov74::Send(int address, const char *text, Micros now) {
  int r = 0;
  if (!sendResults.empty()) {
    r = sendResults.front();
    sendResults.pop_front();
  }
  sent.emplace_back(address, text);
  if (r == 0 && responder) {
    for (auto &m : responder(address, text)) due_.emplace_back(now + 3000, m);
  }
  return r;
}

void ScriptAdapter::SendAt(Micros at, std::string bytes) { Schedule(out_, at, std::move(bytes)); }

void ScriptAdapter::FromHost(const uint8_t *data, size_t length, Micros now) {
  sim::PeloPacket p;
  if (!sim::PeloPacket::Decode(data, length, &p)) p.type = 0xFFFF;
  if (!responder_) return;
  for (auto &answer : responder_(p)) SendAt(now + answer.first, std::move(answer.second));
}

bool ScriptAdapter::ToHost(Micros now, std::string *datagram) {
  if (out_.empty() || out_.front().first > now) return false;
  *datagram = std::move(out_.front().second);
  out_.pop_front();
  return true;
}

TempDir::TempDir() {
  // No mkdtemp on MinGW: fresh random names until one can be created.
  std::random_device random;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto candidate = base / ("veldc-svc-" + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      dir_ = candidate.string();
      return;
    }
  }
  std::abort();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void TempDir::Write(const std::string &name, const std::string &content) const {
  std::ofstream(Path(name), std::ios::binary) << content;
}

std::string TempDir::Read(const std::string &name) const {
  std::ostringstream out;
  out << std::ifstream(Path(name), std::ios::binary).rdbuf();
  return out.str();
}

bool TempDir::Exists(const std::string &name) const { return std::filesystem::exists(Path(name)); }

std::string Numbered(int count, const std::string &end) {
  std::string content;
  for (int i = 1; i <= count; ++i) content += "R" + std::to_string(i) + end;
  return content;
}

std::optional<std::string> LoadTerminal::Answer(const std::string &line) {
  if (line == "%XI") return ramCard;
  if (line.rfind("LOAD", 0) == 0 && records == 0) return refuseLoad ? "LOAD ??" : line;
  if (line == kEot) {
    if (silentEots > 0) {
      --silentEots;
      return std::nullopt;
    }
    return std::to_string(records + countOffset);
  }
  if (line.rfind("DEL ", 0) == 0 || line == "STOP DOWNLOADING") return line;
  ++records;
  if (records == silentAt) return std::nullopt;
  if (records == wrongEchoAt) return line + "?";
  return line;
}

void SerialTest::Open(int kind, int speed) {
  ASSERT_EQ(InitCOMM(1, kind, speed, 0), 1016) << ErrorState();
  vp.ClearWritten();
}

void SerialTest::Select(int kind, int address) {
  Open(kind);
  device::bySelectedTerminal = static_cast<uint8_t>(address);
}

Micros SerialTest::WriteTime(const std::string &bytes) const {
  for (const auto &w : vp.Writes()) {
    if (w.second.find(bytes) != std::string::npos) return w.first;
  }
  return ~Micros{0};
}

void SerialTest::Answer(std::function<std::optional<std::string>(const std::string &)> answer) {
  peer.SetResponder([answer](const std::string &line) {
    const std::optional<std::string> text = answer(line);
    return text ? *text + "\r" : std::string();
  });
}

void ServicesTest::SetUp() {
  SerialTest::SetUp();
  Open(DEV_SERIAL_DIRECT);
  ASSERT_EQ(ChgTerminal(0), 0) << ErrorState();
  vp.ClearWritten();
}

}  // namespace veldc::test
