// Common ground of the unit tests: the virtual platform with every library global put back to
// its load-time value around each test (one process plays many library loads), scripted and
// simulated far ends of the COM port, the Kov74 driver and the Pelo adapter, and PC files.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
inline const std::string kEot = "\x04";  // the EOT command as the terminal hears it
inline constexpr Micros kSecond = 1000000;

class TestPlatform : public VirtualPlatform {
 public:
  TestPlatform() { ResetLibraryState(); }
  ~TestPlatform() override { ResetLibraryState(); }
};

// "code message" as GetError reports them; Outcome puts a call's result first.
std::string ErrorState();
inline std::string Outcome(int result) { return std::to_string(result) + " " + ErrorState(); }

// EXPECT_TRUE(Within(vp.Now() - start, 999000, 1010000)): `took` lies in [low, high).
inline ::testing::AssertionResult Within(uint64_t took, uint64_t low, uint64_t high) {
  if (took >= low && took < high) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << took << " is not within [" << low << ", " << high << ")";
}

// A serial line answering each line the host sends (without its CR): scripted replies in
// order, then the responder; bytes of its own at given instants.
class ScriptPeer : public platform::virt::SerialPeer {
 public:
  using Responder = std::function<std::string(const std::string &line)>;
  void Reply(std::string bytes) { replies_.push_back(std::move(bytes)); }
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  void SendLater(std::string bytes, Micros delay) { SendAt(lastHeard_ + delay, std::move(bytes)); }
  void SendAt(Micros at, std::string bytes);
  const std::vector<std::string> &Lines() const { return lines_; }
  void FromHost(const uint8_t *data, size_t length, Micros now) override;
  void ToHost(Micros now, std::string *out) override;
  Micros NextDue() const override { return out_.empty() ? platform::virt::kNever : out_[0].first; }
  Micros replyDelay = 2000;

 private:
  std::deque<std::string> replies_;
  Responder responder_;
  std::vector<std::string> lines_;
  std::string partial_;
  Micros lastHeard_ = 0;
  std::deque<std::pair<Micros, std::string>> out_;
};

// A Kov74 driver whose terminals answer from a script.
class ScriptKov74 : public platform::virt::Kov74Peer {
 public:
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
  int Poll(int address, char *record, Micros now) override;
  int Send(int address, const char *text, Micros now) override;

 private:
  std::deque<std::pair<Micros, std::pair<int, std::string>>> due_;
};

inline std::string Datagram(uint16_t type, uint16_t seq, const std::string &text = std::string()) {
  return sim::PeloPacket{type, seq, text}.Encode();
}

// A Pelo adapter sending datagrams at given instants and answering each one the host sends,
// decoded (runts with type 0xFFFF).
class ScriptAdapter : public platform::virt::DatagramPeer {
 public:
  using Answers = std::vector<std::pair<Micros, std::string>>;  // (delay, bytes)
  using Responder = std::function<Answers(const sim::PeloPacket &heard)>;
  void SendAt(Micros at, std::string bytes);
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  void FromHost(const uint8_t *data, size_t length, Micros now) override;
  bool ToHost(Micros now, std::string *datagram) override;
  Micros NextDue() const override { return out_.empty() ? platform::virt::kNever : out_[0].first; }

 private:
  std::deque<std::pair<Micros, std::string>> out_;
  Responder responder_;
};

// The simulator's models behind the virtual COM port, KOV74C.DLL and UDP socket.
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

// PC files of one test, removed with it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string Path(const std::string &name) const { return dir_ + "/" + name; }
  void Write(const std::string &name, const std::string &content) const;
  std::string Read(const std::string &name) const;
  bool Exists(const std::string &name) const;

 private:
  std::string dir_;
};

// "R1", "R2", ... each followed by `end`.
std::string Numbered(int count, const std::string &end = "\r\n");

// The terminal's side of a file or program load: echoes the load command and each record,
// answers the EOT command with the number of records taken; faults on request.
struct LoadTerminal {
  int records = 0;
  int wrongEchoAt = 0;  // this record is answered with a different text
  int silentAt = 0;     // this record is not answered
  int countOffset = 0;  // added to the count the EOT reply carries
  int silentEots = 0;   // this many EOT commands go unanswered
  int refuseLoad = 0;
  std::string ramCard = "Veld 2.1 F";  // the "%XI" reply
  std::optional<std::string> Answer(const std::string &line);
};

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override { vp.AttachSerial(&peer); }
  void Open(int kind, int speed = 9600);  // COM1, set-up traffic forgotten
  void Select(int kind, int address);     // opened with `address` selected, no traffic
  std::string Written() const { return vp.Written(); }
  Micros WriteTime(const std::string &bytes) const;  // of the first write holding them, or ~0
  // Answers each line with the function's text and a CR (nullopt: silence).
  void Answer(std::function<std::optional<std::string>(const std::string &)> answer);
  void Answer(LoadTerminal *terminal) {
    Answer([terminal](const std::string &line) { return terminal->Answer(line); });
  }
  const Lines &Heard() const { return peer.Lines(); }
  Lines HeardSince(size_t n) const { return Lines(Heard().begin() + n, Heard().end()); }

  TestPlatform vp;
  ScriptPeer peer;
};

// The direct line with terminal 0 selected, and PC files.
class ServicesTest : public SerialTest {
 protected:
  void SetUp() override;
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
