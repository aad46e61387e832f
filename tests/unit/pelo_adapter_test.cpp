// The simulated Pelo adapter's framing, numbering and resending, which the library tests
// against it take for granted.
#include "sim/pelo_adapter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/terminal.h"

namespace veldc::sim {
namespace {

constexpr Micros kMs = kMillis;

std::string Packet(uint16_t type, uint16_t seq, const std::string &text = std::string()) {
  return PeloPacket{type, seq, text}.Encode();
}

class SimPeloAdapter : public ::testing::Test {
 public:
  // Everything the adapter sends up to `until`, decoded, with the instant it fell due.
  std::vector<PeloPacket> Drain(Micros until) {
    std::vector<PeloPacket> out;
    for (;;) {
      const Micros due = adapter.NextDue();
      if (due > until) break;
      now = std::max(now, due);
      std::string bytes;
      while (adapter.ToHost(now, &bytes)) {
        PeloPacket p;
        EXPECT_TRUE(
            PeloPacket::Decode(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), &p));
        out.push_back(p);
      }
    }
    now = std::max(now, until);
    return out;
  }
  void Send(uint16_t type, uint16_t seq, const std::string &text = std::string()) {
    adapter.FromHost(Packet(type, seq, text), now);
  }

  Micros now = 0;
  PeloAdapter adapter{0x7F000002, PeloAdapter::kNetwork};
};

TEST(PeloPacketTest, EncodeAndDecode) {
  EXPECT_EQ(Packet(3, 0x0102, "AB"), std::string("\x03\x00\x02\x01"
                                                 "AB\x00",
                                                 7));
  EXPECT_EQ(Packet(4, 0), std::string("\x04\x00\x00\x00\x00", 5));
  PeloPacket p;
  const uint8_t runt[] = {3, 0, 1};
  EXPECT_FALSE(PeloPacket::Decode(runt, sizeof runt, &p));
  const uint8_t bare[] = {6, 0, 9, 0};
  ASSERT_TRUE(PeloPacket::Decode(bare, sizeof bare, &p));
  EXPECT_EQ(p.type, 6);
  EXPECT_EQ(p.seq, 9);
  EXPECT_EQ(p.text, "");
  const uint8_t unended[] = {3, 0, 1, 1, 'h', 'i'};
  ASSERT_TRUE(PeloPacket::Decode(unended, sizeof unended, &p));
  EXPECT_EQ(p.seq, 257);
  EXPECT_EQ(p.text, "hi");
}

TEST_F(SimPeloAdapter, OneNumberedDatagramAtATimeResentUntilAcknowledged) {
  Terminal t("Veld", 5);
  adapter.AttachTerminal(&t);
  t.QueueMessage("first", 0);
  t.QueueMessage("second", 0);
  auto out = Drain(1 * kMs);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].text,
            "\x05"
            "first");
  // Not acknowledged: the same datagram again after the resend interval, three sends in all.
  out = Drain(PeloAdapter::kResendInterval * 3);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].seq, 1);
  EXPECT_EQ(out[1].seq, 1);
  EXPECT_EQ(out[2].text,
            "\x05"
            "second")
      << "given up, the next goes";
  EXPECT_EQ(out[2].seq, 2);
  Send(PeloPacket::kAck, 2);
  EXPECT_TRUE(Drain(now + 5 * PeloAdapter::kResendInterval).empty());
}

TEST_F(SimPeloAdapter, RepeatedHostDataIsAcknowledgedButCarriedOnce) {
  Terminal t("Veld", 5);
  adapter.AttachTerminal(&t);
  Send(PeloPacket::kData, 7, std::string("\x05TIME"));
  Send(PeloPacket::kData, 7, std::string("\x05TIME"));
  auto out = Drain(5 * kMs);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].type, PeloPacket::kAck);
  EXPECT_EQ(out[1].type, PeloPacket::kAck);
  EXPECT_EQ(out[2].type, PeloPacket::kData);
  EXPECT_EQ(t.Commands().size(), 1u);
}

}  // namespace
}  // namespace veldc::sim
