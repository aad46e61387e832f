// The library against a hostile adapter: datagrams of any length and type, at any time.
#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/errors.h"
#include "device/device.h"
#include "pelo_fixture.h"
#include "support/test_platform.h"

namespace veldc::test {
namespace {

constexpr uint16_t kPort = 5001;

// Datagrams of any length and type, at any time, in floods and repeats.
class HostilePeer : public platform::virt::DatagramPeer {
 public:
  explicit HostilePeer(uint32_t seed) : rng_(seed) {}
  void FromHost(const uint8_t *data, size_t length, Micros) override {
    ++heard;
    // What the library sends must be a whole datagram: header, text, one zero at the end.
    if (length < 5 || length > 136 || data[length - 1] != 0 ||
        std::memchr(data + 4, 0, length - 4) != data + length - 1) {
      ++malformed;
    }
    if (length >= 4) lastSeq_ = static_cast<uint16_t>(data[2] | data[3] << 8);
  }
  bool ToHost(Micros, std::string *datagram) override {
    const int roll = Pick(0, 99);
    if (roll < 40) return false;  // quiet for this read
    if (roll < 45 && !last_.empty()) {
      *datagram = last_;  // a repeat
      return true;
    }
    const auto length = static_cast<size_t>(Pick(0, 9) == 0 ? Pick(0, 300) : Pick(4, 140));
    const uint16_t type = static_cast<uint16_t>(Pick(0, 9) == 0 ? Pick(0, 0xFFFF) : Pick(0, 8));
    const uint16_t seq = static_cast<uint16_t>(Pick(0, 2) == 0 ? lastSeq_ : Pick(0, 0xFFFF));
    last_ = Datagram(type, seq).substr(0, 4);
    while (last_.size() < length) last_.push_back(static_cast<char>(Pick(0, 255)));
    last_.resize(length);
    *datagram = last_;
    return true;
  }

  int heard = 0;
  int malformed = 0;

 private:
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::mt19937 rng_;
  std::string last_;
  uint16_t lastSeq_ = 0;
};

void RunHostile(uint32_t seed) {
  TestPlatform vp;
  HostilePeer peer(seed);
  vp.AttachAdapter(&peer);
  ASSERT_EQ(InitCOMM(kPort, DEV_PELO, 0, 0), kPort);
  device::DeviceState.nWinSockTimeOut = 20;
  std::mt19937 rng(seed + 7);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const std::vector<int32_t> allowed = {0, 2, 3, 4, 43, 44, 46, 66, 77, 78, 79, 89, 91, 92, 96, 97};
  struct Guarded {
    char reply[VELDC_REPLY_SIZE];
    unsigned char canary[64];
  } buffer;
  const char *commands[] = {"X", "%", "A192.168.0.12", "C3", "C1", "Q", "TIME", ""};
  int successes = 0;
  std::set<int32_t> seen;
  for (int i = 0; i < 400; ++i) {
    std::memset(&buffer, 0xA5, sizeof buffer);
    vp.ClearLog();
    const char *command = commands[pick(0, 7)];
    auto send = [&] { return SendCommand(command, buffer.reply); };
    auto response = [&] { return GetResponse(buffer.reply); };
    const std::function<int()> calls[] = {
        [] { return SetIPAddress("192.168.0.10"); },
        [&] { return PeloCommand(command, buffer.reply); },
        [&] { return ChgTerminal(pick(-1, 255)); },
        send,
        send,
        [&] { return PostCommand(command); },
        response,
        response,
        [] { return PeloReset(); },
        [&] { return i % 40 == 9 ? GetMsgEx(buffer.reply) : GetResponse(buffer.reply); }};
    const int r = calls[pick(0, 9)]();
    if (r == 0) ++successes;
    seen.insert(nErrorCode);
    for (unsigned char c : buffer.canary) ASSERT_EQ(c, 0xA5) << "seed " << seed << " call " << i;
    if (buffer.reply[0] != static_cast<char>(0xA5)) {
      ASSERT_NE(std::memchr(buffer.reply, 0, sizeof buffer.reply), nullptr)
          << "seed " << seed << " call " << i;
    }
    ASSERT_TRUE(r == 0 || r == -1) << "seed " << seed << " call " << i;
    ASSERT_NE(std::find(allowed.begin(), allowed.end(), nErrorCode), allowed.end())
        << "seed " << seed << " call " << i << ": " << ErrorState();
    ASSERT_EQ(device::DeviceState.nDeviceKind, DEV_PELO);
    ASSERT_EQ(PeloLink.rxDatagram.szText[130], 0);
    ASSERT_EQ(PeloLink.rxDatagram.szText[131], 0);
  }
  // The noise reached every corner: some calls got through, many failed in different ways.
  EXPECT_GT(successes, 20) << "seed " << seed;
  EXPECT_GE(seen.size(), 6u) << "seed " << seed;
  EXPECT_GT(peer.heard, 100) << "the library kept talking";
  EXPECT_EQ(peer.malformed, 0);
}

TEST(PeloHostile, RandomDatagramsNeverOverrunOrLeaveUnknownCodes) {
  for (uint32_t seed : {20261206u, 1u, 4242u, 777u}) ASSERT_NO_FATAL_FAILURE(RunHostile(seed));
}

}  // namespace
}  // namespace veldc::test
