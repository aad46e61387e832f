// Common ground of the Pelo unit tests: a scripted adapter, the device opened and connected.
#pragma once

#include <limits>
#include <string>
#include <vector>

#include "pelo/link.h"
#include "support/fixture.h"

namespace veldc::test {

using namespace veldc::pelo;
using sim::PeloPacket;

constexpr uint16_t kUdpPort = 5000;

inline std::string Ack(uint16_t seq) { return Datagram(PeloPacket::kAck, seq); }

// A datagram made by `make` from its count ready at every read until `until`; then the
// scripted adapter answers. The adapter hears everything the host sends.
class FloodPeer : public platform::virt::DatagramPeer {
 public:
  FloodPeer(ScriptAdapter *behind, std::function<std::string(int)> make,
            Micros until = std::numeric_limits<Micros>::max())
      : behind_(behind), make_(std::move(make)), until_(until) {}
  void FromHost(const uint8_t *data, size_t n, Micros now) override {
    behind_->FromHost(data, n, now);
  }
  bool ToHost(Micros now, std::string *datagram) override {
    if (now >= until_) return behind_->ToHost(now, datagram);
    *datagram = make_(++count);
    return true;
  }
  int count = 0;

 private:
  ScriptAdapter *behind_;
  std::function<std::string(int)> make_;
  Micros until_;
};

// A platform call failed at its `nth` call with `error`; none when `nth` is 0.
struct Fault {
  Call call;
  int nth, error;
  void Arm(VirtualPlatform &vp) const {
    if (nth != 0) vp.Fail(call, nth, error);
  }
};

class PeloTest : public ::testing::Test {
 public:
  void SetUp() override { vp.AttachAdapter(&adapter); }

  // Answers the status request with `status`; everything else goes to `next`.
  static ScriptAdapter::Responder Status(std::string status,
                                         ScriptAdapter::Responder next = nullptr) {
    return [status, next](const PeloPacket &p) -> ScriptAdapter::Answers {
      if (p.type == PeloPacket::kCommand && p.text == "X") {
        return {{1000, Datagram(PeloPacket::kCommand, p.seq, status)}};
      }
      return next ? next(p) : ScriptAdapter::Answers{};
    };
  }
  // Each datagram of `type` from the host gets the answers, each after its delay in us and
  // made from the number of the datagram it answers.
  using Answer = std::function<std::string(uint16_t seq)>;
  using Script = std::vector<std::pair<Micros, Answer>>;
  void OnEach(uint16_t type, Script answers) {
    adapter.SetResponder([type, answers](const PeloPacket &p) -> ScriptAdapter::Answers {
      ScriptAdapter::Answers out;
      for (const auto &a : answers) {
        if (p.type == type) out.emplace_back(a.first, a.second(p.seq));
      }
      return out;
    });
  }
  // A datagram of `type` numbered `offset` after the one it answers.
  static Answer Reply(uint16_t type, int offset = 0, std::string text = std::string()) {
    return [=](uint16_t seq) { return Datagram(type, static_cast<uint16_t>(seq + offset), text); };
  }
  static Answer AckIt() { return Reply(PeloPacket::kAck); }
  static Answer Fixed(std::string bytes) {
    return [bytes](uint16_t) { return bytes; };
  }

  // Opens the Pelo kind and connects to 192.168.0.10, which reports `status`.
  void Connect(const std::string &status = "V2 C3\r") {
    ASSERT_EQ(InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort);
    adapter.SetResponder(Status(status));
    ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
    vp.ClearLog();
  }
  // Closes the device and forgets the traffic and the script, for the next row of a table.
  void Close() {
    ASSERT_EQ(ExitCOMM(), 0);
    vp.ClearLog();
    adapter = ScriptAdapter();
  }
  // The datagrams the library sent since the log was cleared, and their instants.
  std::vector<std::string> Sent() const {
    std::vector<std::string> out;
    for (const auto &e : vp.LogOf(Call::WsSend)) out.push_back(e.text);
    return out;
  }
  std::vector<Micros> SendTimes() const {
    std::vector<Micros> out;
    for (const auto &e : vp.LogOf(Call::WsSend)) out.push_back(e.at);
    return out;
  }

  TestPlatform vp;
  ScriptAdapter adapter;
};

}  // namespace veldc::test
