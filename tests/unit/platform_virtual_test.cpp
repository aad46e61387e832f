// What the other tests take from the test backend on trust: bytes that arrive only when due,
// and WinSock's address texts. Virtual time is checked with the pauses (timing_test); the
// virtual socket's read results by the Pelo datagram tests, which would fail with them.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "platform/virtual/virtual_platform.h"
#include "platform/winsock_text.h"
#include "support/test_platform.h"

namespace veldc::platform::virt {
namespace {

// A serial far end that sends scripted bytes at given instants and keeps what it got.
class TimedSerial : public SerialPeer {
 public:
  void SendAt(Micros at, const std::string &bytes) { queue_.emplace(at, bytes); }
  void FromHost(const uint8_t *data, size_t length, Micros now) override {
    got_.emplace_back(now, std::string(reinterpret_cast<const char *>(data), length));
  }
  void ToHost(Micros now, std::string *out) override {
    while (!queue_.empty() && queue_.begin()->first <= now) {
      *out += queue_.begin()->second;
      queue_.erase(queue_.begin());
    }
  }
  std::vector<std::pair<Micros, std::string>> got_;

 private:
  std::multimap<Micros, std::string> queue_;
};

std::string ReadAll(VirtualPlatform &vp, Handle port) {
  std::string s;
  char buf[64];
  for (uint32_t n; (n = vp.ComRead(port, buf, sizeof(buf))) > 0;) s.append(buf, n);
  return s;
}

TEST(VirtualSerial, BytesArriveOnlyWhenDueAndWritesReachThePeer) {
  test::TestPlatform vp;
  TimedSerial peer;
  vp.AttachSerial(&peer);
  const Handle port = vp.ComOpen("COM2");
  ASSERT_NE(port, kInvalidHandle);
  peer.SendAt(1000, "AB");
  peer.SendAt(3000, "C");
  vp.Advance(999);
  EXPECT_EQ(ReadAll(vp, port), "");
  vp.Advance(1);
  EXPECT_EQ(ReadAll(vp, port), "AB");
  vp.Advance(2000);
  EXPECT_EQ(ReadAll(vp, port), "C");

  uint32_t written = 0;
  ASSERT_TRUE(vp.ComWrite(port, "\x05xyz", 4, &written));
  EXPECT_EQ(written, 4u);
  vp.Advance(10);
  ASSERT_TRUE(vp.ComTransmitChar(port, '\x13'));
  EXPECT_EQ(vp.Written(), std::string("\x05xyz\x13"));
  const auto writes = vp.Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].first, 3000u);
  EXPECT_EQ(writes[1].first, 3010u);
  EXPECT_EQ(peer.got_, writes);
}

TEST(WinSockText, InetAddrReadsLikeWinSock) {
  const struct {
    const char *text;
    uint32_t host;  // host order
  } cases[] = {
      {"127.0.0.1", 0x7F000001},   {"192.168.1.200", 0xC0A801C8}, {"0x7f.1", 0x7F000001},
      {"0177.0.0.01", 0x7F000001}, {"10.1.258", 0x0A010102},      {"167772161", 0x0A000001},
      {"0", 0x00000000},           {"1.2.3.4 junk", 0x01020304},  {"0XAb.0xFF.0x1", 0xABFF0001},
      {"1.2.3.4\t", 0x01020304},   {"1.2.65535", 0x0102FFFF},     {"0377.0xffffff", 0xFFFFFFFF}};
  for (const auto &c : cases) EXPECT_EQ(WsInetAddr(c.text), WsHtonl(c.host)) << c.text;
  for (const char *refused : {"1.2.3.256", "", "1.2.3.4.5", "1..2", "0x", "09", "4294967296",
                              "1.2.3.", "1.2.3.4x", "1.16777216", "256.1", "1.256.1", "256.1.1",
                              "1.2.65536", "0xg", "0x100000000", "1.2.3.4\x01"}) {
    EXPECT_EQ(WsInetAddr(refused), kWsInaddrNone) << '"' << refused << '"';
  }
  EXPECT_EQ(WsInetAddr(nullptr), kWsInaddrNone);

  char out[16];
  EXPECT_STREQ(WsInetNtoa(WsInetAddr("0x7f.1"), out), "127.0.0.1");
  EXPECT_STREQ(WsInetNtoa(WsHtonl(0xFFFFFFFF), out), "255.255.255.255");
  const uint16_t port = WsHtons(0x1234);
  const uint32_t word = WsHtonl(0x01020304);
  EXPECT_EQ(std::memcmp(&port, "\x12\x34", 2), 0);
  EXPECT_EQ(std::memcmp(&word, "\x01\x02\x03\x04", 4), 0);
}

}  // namespace
}  // namespace veldc::platform::virt
