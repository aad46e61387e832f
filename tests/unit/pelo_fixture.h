// Common ground of the Pelo unit tests: the virtual platform with a scripted adapter, the
// device opened and the link set up.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pelo/link.h"
#include "support/fixture.h"
#include "support/outcome.h"
#include "support/pelo_link.h"

namespace veldc::test {

using platform::virt::Micros;
using sim::PeloPacket;

constexpr uint16_t kUdpPort = 5000;

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

  // Bytes answering a datagram, made from its number.
  using Answer = std::function<std::string(uint16_t seq)>;
  // Each datagram of `type` from the host gets `answers` (delay in us, bytes).
  void OnEach(uint16_t type, std::vector<std::pair<Micros, Answer>> answers) {
    adapter.SetResponder([type, answers](const PeloPacket &p) -> ScriptAdapter::Answers {
      if (p.type != type) return {};
      ScriptAdapter::Answers out;
      for (const auto &a : answers) out.emplace_back(a.first, a.second(p.seq));
      return out;
    });
  }
  static Answer AckIt() {
    return [](uint16_t seq) { return Datagram(PeloPacket::kAck, seq); };
  }
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

  // The datagrams the library sent since the log was cleared.
  std::vector<std::string> Sent() const {
    std::vector<std::string> out;
    for (const auto &e : vp.LogOf(Call::WsSend)) out.push_back(e.text);
    return out;
  }

  // Instants of the library's sends since the log was cleared.
  std::vector<Micros> SendTimes() const {
    std::vector<Micros> out;
    for (const auto &e : vp.LogOf(Call::WsSend)) out.push_back(e.at);
    return out;
  }

  VirtualPlatform vp;
  ScriptAdapter adapter;
};

inline std::string Ack(uint16_t seq) { return Datagram(PeloPacket::kAck, seq); }

}  // namespace veldc::test
