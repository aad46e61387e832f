// The unit tests' virtual platform (library state reset around each test), far ends, PC files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "device/device.h"
#include "library_state.h"
#include "platform/virtual/virtual_platform.h"
#include "sim/byte_line.h"
#include "sim/kov74_network.h"
#include "sim/pelo_adapter.h"
#include "veldc.h"

namespace veldc::test {

using platform::virt::Call;
using platform::virt::Micros;
using platform::virt::VirtualPlatform;
using Lines = std::vector<std::string>;

// The host's progress callback: "meter,event,records,done,total,text" of each report.
inline void VELDC_API CollectReport(void *context, int meter, int event, int records, unsigned done,
                                    unsigned total, const char *text) {
  static_cast<Lines *>(context)->push_back(
      std::to_string(meter) + "," + std::to_string(event) + "," + std::to_string(records) + "," +
      std::to_string(done) + "," + std::to_string(total) + "," + (text != nullptr ? text : ""));
}
inline const std::string kEot = "\x04";  // the EOT command as the terminal hears it
inline constexpr Micros kSecond = 1000000;

struct TestPlatform : VirtualPlatform {
  TestPlatform() { ResetLibraryState(); }
  ~TestPlatform() override { ResetLibraryState(); }
};

// "code message" as GetError reports them; Outcome puts a call's result first.
inline std::string ErrorState() {
  char text[64] = "";
  const int code = GetError(text);
  return std::to_string(code) + " " + text;
}
inline std::string Outcome(int result) { return std::to_string(result) + " " + ErrorState(); }

// EXPECT_TRUE(Within(vp.Now() - start, 999000, 1010000)): `took` lies in [low, high).
inline ::testing::AssertionResult Within(uint64_t took, uint64_t low, uint64_t high) {
  if (took >= low && took < high) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << took << " is not within [" << low << ", " << high << ")";
}

// Bytes due at given instants, in time order; equal instants keep the order they were given in.
struct Due : std::deque<std::pair<Micros, std::string>> {
  void Add(Micros at, std::string bytes) {
    const auto later = [](Micros t, const value_type &e) { return t < e.first; };
    insert(std::upper_bound(begin(), end(), at, later), {at, std::move(bytes)});
  }
  Micros Next() const { return empty() ? platform::virt::kNever : front().first; }
};

// A serial line answering each line the host sends: scripted replies, then the responder.
class ScriptPeer : public platform::virt::SerialPeer {
 public:
  using Responder = std::function<std::string(const std::string &line)>;
  void Reply(std::string bytes) { replies_.push_back(std::move(bytes)); }
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  void SendLater(std::string bytes, Micros delay) { SendAt(lastHeard_ + delay, std::move(bytes)); }
  void SendAt(Micros at, std::string bytes) { out_.Add(at, std::move(bytes)); }
  const std::vector<std::string> &Lines() const { return lines_; }
  void FromHost(const uint8_t *data, size_t length, Micros now) override {
    lastHeard_ = now;
    for (size_t i = 0; i < length; ++i) {
      if (data[i] != '\r') {
        partial_ += static_cast<char>(data[i]);
        if (partial_ != "+++") continue;  // a modem takes "+++" alone, with no line end
      }
      lines_.push_back(std::move(partial_));
      partial_.clear();
      std::string answer;
      if (!replies_.empty()) {
        answer = std::move(replies_.front());
        replies_.pop_front();
      } else if (responder_) {
        answer = responder_(lines_.back());
      }
      if (!answer.empty()) SendAt(now + replyDelay, std::move(answer));
    }
  }
  void ToHost(Micros now, std::string *out) override {
    for (; !out_.empty() && out_.front().first <= now; out_.pop_front())
      *out += out_.front().second;
  }
  Micros NextDue() const override { return out_.Next(); }
  Micros replyDelay = 2000;

 private:
  std::deque<std::string> replies_;
  Responder responder_;
  std::vector<std::string> lines_;
  std::string partial_;
  Micros lastHeard_ = 0;
  Due out_;
};

struct ScriptKov74 : platform::virt::Kov74Peer {
  using Messages = std::vector<std::pair<int, std::string>>;  // (address, text)
  std::deque<int> sendResults;                                // in order, then 0
  std::deque<std::pair<int, std::string>> waiting;
  std::function<Messages(int address, const std::string &text)> responder;
  Messages sent;
  std::vector<int> polls;
  int openResult = 1, speedResult = 0;  // what the driver's open and set-speed return

  int Open(int, int, int, int) override { return openResult; }
  int SetSpeed(int) override { return speedResult; }
  int Close() override { return 0; }
  int Poll(int address, char *record, Micros now) override {
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
  int Send(int address, const char *text, Micros now) override {
    const int r = sendResults.empty() ? 0 : sendResults.front();
    if (!sendResults.empty()) sendResults.pop_front();
    sent.emplace_back(address, text);
    if (r == 0 && responder) {
      for (auto &m : responder(address, text)) due_.emplace_back(now + 3000, m);
    }
    return r;
  }

 private:
  std::deque<std::pair<Micros, std::pair<int, std::string>>> due_;
};

inline std::string Datagram(uint16_t type, uint16_t seq, const std::string &text = std::string()) {
  return sim::PeloPacket{type, seq, text}.Encode();
}

// A Pelo adapter answering each datagram the host sends, decoded (runts with type 0xFFFF).
class ScriptAdapter : public platform::virt::DatagramPeer {
 public:
  using Answers = std::vector<std::pair<Micros, std::string>>;  // (delay, bytes)
  using Responder = std::function<Answers(const sim::PeloPacket &heard)>;
  void SendAt(Micros at, std::string bytes) { out_.Add(at, std::move(bytes)); }
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  void FromHost(const uint8_t *data, size_t length, Micros now) override {
    sim::PeloPacket p;
    if (!sim::PeloPacket::Decode(data, length, &p)) p.type = 0xFFFF;
    if (!responder_) return;
    for (auto &answer : responder_(p)) SendAt(now + answer.first, std::move(answer.second));
  }
  bool ToHost(Micros now, std::string *datagram) override {
    if (out_.Next() > now) return false;
    *datagram = std::move(out_.front().second);
    out_.pop_front();
    return true;
  }
  Micros NextDue() const override { return out_.Next(); }

 private:
  Due out_;
  Responder responder_;
};

struct SerialLink : platform::virt::SerialPeer {
  explicit SerialLink(sim::ByteLine &model) : line(model) {}
  void FromHost(const uint8_t *data, size_t n, Micros now) override { line.FromHost(data, n, now); }
  void ToHost(Micros now, std::string *out) override { line.ToHost(now, out); }
  Micros NextDue() const override { return line.NextDue(); }
  sim::ByteLine &line;
};

struct Kov74Link : platform::virt::Kov74Peer {
  explicit Kov74Link(sim::Kov74Network &model) : net(model) {}
  int Open(int port, int mode, int c, int option) override {
    return net.Open(port, mode, c, option);
  }
  int SetSpeed(int code) override { return net.SetSpeed(code); }
  int Close() override { return net.Close(); }
  int Poll(int a, char *record, Micros now) override { return net.Poll(a, record, now); }
  int Send(int a, const char *text, Micros now) override { return net.Send(a, text, now); }
  sim::Kov74Network &net;
};

struct SimPeloLink : platform::virt::DatagramPeer {
  explicit SimPeloLink(VirtualPlatform &vp) { vp.AttachAdapter(this); }
  void FromHost(const uint8_t *data, size_t n, Micros now) override {
    adapter.FromHost(data, n, now);
  }
  bool ToHost(Micros now, std::string *d) override { return adapter.ToHost(now, d); }
  Micros NextDue() const override { return adapter.NextDue(); }
  sim::PeloAdapter adapter{0xC0A8000A, sim::PeloAdapter::kNetwork};
};

// PC files of one test, removed with it (no mkdtemp on MinGW: random names until one is new).
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    do dir_ = std::filesystem::temp_directory_path() / ("veldc-svc-" + std::to_string(random()));
    while (!std::filesystem::create_directory(dir_));
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Path(const std::string &name) const { return (dir_ / name).string(); }
  void Write(const std::string &name, const std::string &content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
  }
  std::string Read(const std::string &name) const {
    std::ostringstream out;
    out << std::ifstream(Path(name), std::ios::binary).rdbuf();
    return out.str();
  }
  bool Exists(const std::string &name) const { return std::filesystem::exists(Path(name)); }

 private:
  std::filesystem::path dir_;
};

inline std::string Numbered(int count, const std::string &end = "\r\n") {
  std::string content;
  for (int i = 1; i <= count; ++i) content += "R" + std::to_string(i) + end;
  return content;
}

// A terminal taking a file or program load, with faults on request.
struct LoadTerminal {
  int records = 0;
  int wrongEchoAt = 0;  // this record is answered with a different text
  int silentAt = 0;     // this record is not answered
  int countOffset = 0;  // added to the count the EOT reply carries
  int silentEots = 0;   // this many EOT commands go unanswered
  int refuseLoad = 0;
  std::string ramCard = "Veld 2.1 F";  // the "%XI" reply
  std::optional<std::string> Answer(const std::string &line) {
    if (line == "%XI") return ramCard;
    if (line.rfind("LOAD", 0) == 0 && records == 0) return refuseLoad ? "LOAD ??" : line;
    if (line == kEot) {
      if (silentEots-- > 0) return std::nullopt;
      return std::to_string(records + countOffset);
    }
    if (line.rfind("DEL ", 0) == 0 || line == "STOP DOWNLOADING") return line;
    if (++records == silentAt) return std::nullopt;
    return records == wrongEchoAt ? line + "?" : line;
  }
};

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override { vp.AttachSerial(&peer); }
  void Open(int kind, int speed = 9600) {  // COM1, set-up traffic forgotten
    ASSERT_EQ(InitCOMM(1, kind, speed, 0), 1016) << ErrorState();
    vp.ClearWritten();
  }
  void Select(int kind, int address) {  // opened with `address` selected, no traffic
    Open(kind);
    device::bySelectedTerminal = static_cast<uint8_t>(address);
  }
  std::string Written() const { return vp.Written(); }
  void Answer(std::function<std::optional<std::string>(const std::string &)> answer) {
    peer.SetResponder([answer](const std::string &line) {
      const std::optional<std::string> text = answer(line);
      return text ? *text + "\r" : std::string();
    });
  }
  void Answer(LoadTerminal *terminal) {
    Answer([terminal](const std::string &line) { return terminal->Answer(line); });
  }
  const Lines &Heard() const { return peer.Lines(); }
  Lines HeardSince(size_t n) const { return Lines(Heard().begin() + n, Heard().end()); }

  TestPlatform vp;
  ScriptPeer peer;
};

class ServicesTest : public SerialTest {
 protected:
  void SetUp() override {
    SerialTest::SetUp();
    Open(DEV_SERIAL_DIRECT);
    ASSERT_EQ(ChgTerminal(0), 0) << ErrorState();
    vp.ClearWritten();
  }
  TempDir files;
};

class Kov74Test : public ::testing::Test {
 protected:
  void SetUp() override { vp.SetKov74(&driver); }
  void Open(int kind = DEV_KOV74_MODE0) { ASSERT_GT(InitCOMM(1, kind, 0, 0), 0) << ErrorState(); }
  TestPlatform vp;
  ScriptKov74 driver;
};

}  // namespace veldc::test
