// The simulated Pelo adapter on its own: what it answers, how it numbers and resends, and its
// faults.
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
        sizes.push_back(bytes.size());
      }
    }
    now = std::max(now, until);
    return out;
  }
  void Send(uint16_t type, uint16_t seq, const std::string &text = std::string()) {
    adapter.FromHost(Packet(type, seq, text), now);
  }

  Micros now = 0;
  std::vector<size_t> sizes;
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

TEST_F(SimPeloAdapter, StatusTellsTheVersionAndTheForm) {
  Send(PeloPacket::kCommand, 0, "X");
  auto out = Drain(10 * kMs);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, PeloPacket::kCommand);
  EXPECT_NE(out[0].text.find('V'), std::string::npos);
  EXPECT_NE(out[0].text.find("C3"), std::string::npos);

  PeloAdapter single(0x7F000002, PeloAdapter::kSingle);
  EXPECT_NE(single.StatusText().find('V'), std::string::npos);
  EXPECT_EQ(single.StatusText().find("C3"), std::string::npos);
}

TEST_F(SimPeloAdapter, AnswersTheGreetingAndAcknowledgesUnknownCommands) {
  Send(PeloPacket::kAck, 0);
  EXPECT_EQ(adapter.Greetings(), 1);
  auto out = Drain(10 * kMs);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, PeloPacket::kInit);
  Send(PeloPacket::kAck, out[0].seq);
  Send(PeloPacket::kCommand, 17, "Q");
  out = Drain(now + 5 * PeloAdapter::kResendInterval);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, PeloPacket::kAck);
  EXPECT_EQ(out[0].seq, 17);
}

TEST_F(SimPeloAdapter, CarriesLinesInTheNetworkForm) {
  Terminal t5("Veld", 5), t6("Dulm", 6);
  adapter.AttachTerminal(&t5);
  adapter.AttachTerminal(&t6);
  Send(PeloPacket::kData, 40, std::string("\x06%XI"));
  auto out = Drain(10 * kMs);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].type, PeloPacket::kAck);
  EXPECT_EQ(out[0].seq, 40);
  EXPECT_EQ(out[1].type, PeloPacket::kData);
  EXPECT_EQ(out[1].seq, 1) << "the adapter numbers from 1";
  EXPECT_EQ(out[1].text,
            "\x06"
            "Dulm V2.10 RAM F");
  EXPECT_EQ(t6.Commands(), std::vector<std::string>{"%XI"});
  EXPECT_TRUE(t5.Commands().empty());
  // Nobody at address 9: acknowledged, and lost.
  Send(PeloPacket::kAck, 1);
  Send(PeloPacket::kData, 41, std::string("\x09TIME"));
  out = Drain(2000 * kMs);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, PeloPacket::kAck);
}

TEST_F(SimPeloAdapter, CarriesLinesInTheSingleForm) {
  PeloAdapter single(0x7F000002, PeloAdapter::kSingle);
  Terminal t("Qyr", 0);
  single.AttachTerminal(&t);
  single.FromHost(Packet(PeloPacket::kData, 1, "%XI\r"), 0);
  std::string bytes;
  ASSERT_TRUE(single.ToHost(5 * kMs, &bytes));
  EXPECT_EQ(bytes, Packet(PeloPacket::kAck, 1));
  ASSERT_TRUE(single.ToHost(5 * kMs, &bytes));
  EXPECT_EQ(bytes, Packet(PeloPacket::kData, 1, "Qyr V2.10 RAM F\r"));
  EXPECT_EQ(t.Commands(), std::vector<std::string>{"%XI"});
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

TEST_F(SimPeloAdapter, AddressAndFormTakeEffectAtTheReset) {
  Send(PeloPacket::kCommand, 1, "A127.0.0.3");
  Send(PeloPacket::kCommand, 2, "C1");
  Send(PeloPacket::kCommand, 3, "Anot an address");
  auto out = Drain(5 * kMs);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].text, "A127.0.0.3");
  EXPECT_EQ(out[1].text, "C1");
  EXPECT_EQ(out[2].text, "?");
  EXPECT_EQ(adapter.Address(), 0x7F000002u);
  EXPECT_EQ(adapter.LinkForm(), PeloAdapter::kNetwork);
  EXPECT_EQ(adapter.ChosenAddress(), 0x7F000003u);

  Send(PeloPacket::kCommand, 4, "%");
  Send(PeloPacket::kCommand, 4, "%");  // while restarting, nothing is heard
  out = Drain(now + PeloAdapter::kResetTime + 5 * kMs);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, PeloPacket::kInit);
  EXPECT_EQ(adapter.Resets(), 1);
  EXPECT_EQ(adapter.Address(), 0x7F000003u);
  EXPECT_EQ(adapter.LinkForm(), PeloAdapter::kSingle);
  EXPECT_EQ(adapter.StatusText().find("C3"), std::string::npos);
  Send(PeloPacket::kAck, out[0].seq);
  EXPECT_TRUE(Drain(now + 5 * PeloAdapter::kResendInterval).empty());
}

TEST_F(SimPeloAdapter, Faults) {
  Terminal t("Veld", 5);
  adapter.AttachTerminal(&t);
  auto types = [](const std::vector<PeloPacket> &out) {
    std::string s;
    for (const auto &p : out) s += static_cast<char>('0' + p.type);
    return s;
  };

  adapter.Faults().lostAcks = 1;
  Send(PeloPacket::kData, 1, std::string("\x05TIME"));
  auto out = Drain(5 * kMs);
  EXPECT_EQ(types(out), "3") << "the acknowledgement is lost, the reply is not";
  Send(PeloPacket::kAck, out[0].seq);

  adapter.Faults().repeatedData = 1;
  Send(PeloPacket::kData, 2, std::string("\x05TIME"));
  out = Drain(now + 5 * kMs);
  ASSERT_EQ(types(out), "433");
  EXPECT_EQ(out[1].seq, out[2].seq);
  Send(PeloPacket::kAck, out[2].seq);

  adapter.Faults().initOnData = 1;
  Send(PeloPacket::kData, 3, std::string("\x05TIME"));
  out = Drain(now + 5 * kMs);
  EXPECT_EQ(types(out), "2");
  EXPECT_EQ(t.Commands().size(), 2u) << "the line was not carried";
  Send(PeloPacket::kAck, out[0].seq);

  adapter.Faults().errorPackets = 2;
  Send(PeloPacket::kData, 4, std::string("\x05TIME"));
  Send(PeloPacket::kCommand, 5, "X");
  out = Drain(now + 5 * kMs);
  EXPECT_EQ(types(out), "55");
  EXPECT_EQ(out[0].seq, 4);

  adapter.Faults().oversized = 1;
  sizes.clear();
  Send(PeloPacket::kCommand, 6, "X");
  out = Drain(now + 5 * kMs);
  ASSERT_EQ(sizes.size(), 1u);
  EXPECT_EQ(sizes[0], 200u);

  adapter.Faults().silent = true;
  Send(PeloPacket::kCommand, 7, "X");
  Send(PeloPacket::kData, 8, std::string("\x05TIME"));
  EXPECT_TRUE(Drain(now + 5 * PeloAdapter::kResendInterval).empty());
  EXPECT_EQ(t.Commands().size(), 3u) << "a silent adapter still carries lines";

  adapter.Faults().silent = false;
  adapter.Faults().ackReset = true;
  Send(PeloPacket::kCommand, 9, "%");
  out = Drain(now + PeloAdapter::kResetTime + 5 * kMs);
  EXPECT_EQ(types(out), "42");
  EXPECT_EQ(out[0].seq, 9);
}

TEST_F(SimPeloAdapter, NumbersWrapAfter255) {
  Terminal t("Veld", 5);
  adapter.AttachTerminal(&t);
  std::vector<uint16_t> seqs;
  for (int i = 0; i < 257; ++i) {
    t.QueueMessage("m", now);
    auto out = Drain(now + 1);
    ASSERT_EQ(out.size(), 1u);
    seqs.push_back(out[0].seq);
    Send(PeloPacket::kAck, out[0].seq);
  }
  EXPECT_EQ(seqs[0], 1);
  EXPECT_EQ(seqs[254], 255);
  EXPECT_EQ(seqs[255], 0);
  EXPECT_EQ(seqs[256], 1);
}

}  // namespace
}  // namespace veldc::sim
