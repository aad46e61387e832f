// The Pelo datagram: numbering, sending, reading, acknowledging and the clean-out read.
#include <string>

#include "core/errors.h"
#include "device/device.h"
#include "pelo_fixture.h"

namespace veldc::test {
namespace {

using namespace veldc::pelo;

class PeloLinkTest : public PeloTest {};

TEST_F(PeloLinkTest, SequenceNumbersRunOneTo255ThenZeroAndAreNeverReset) {
  EXPECT_EQ(PeloNextSeq(), 1) << "the first number after load";
  for (int expected = 2; expected <= 255; ++expected) ASSERT_EQ(PeloNextSeq(), expected);
  EXPECT_EQ(PeloNextSeq(), 0);
  EXPECT_EQ(PeloNextSeq(), 1);

  // Neither opening a device nor connecting to an adapter starts the count again.
  Connect();
  EXPECT_EQ(PeloLink.wSeqCounter, 1);
  ASSERT_EQ(ExitCOMM(), 0);
  ASSERT_EQ(InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort);
  EXPECT_EQ(PeloNextSeq(), 2);
}

TEST_F(PeloLinkTest, LongDatagramsStayTerminated) {
  Connect();
  // 134 bytes with no zero at all: the text is the 130 characters that fit.
  adapter.SendAt(0, std::string("\x03\x00\x07\x00", 4) + std::string(130, 'z'));
  ASSERT_EQ(PeloPoll(), PollResult::kDatagram);
  EXPECT_EQ(std::string(PeloLink.rxDatagram.szText), std::string(130, 'z'));

  // 200 bytes: WinSock keeps the first 134 and reports 10040.
  adapter.SendAt(0, std::string("\x03\x00\x08\x00", 4) + std::string(196, 'y'));
  EXPECT_EQ(PeloPoll(), PollResult::kFailed);
  EXPECT_EQ(ErrorState(), "78 Error receving message: 10040");
  EXPECT_EQ(std::string(PeloLink.rxDatagram.szText), std::string(130, 'y'));

  // A shorter datagram after a longer one shows nothing of the older text.
  adapter.SendAt(0, std::string("\x06\x00\x09\x00OK", 6));
  ASSERT_EQ(PeloPoll(), PollResult::kDatagram);
  EXPECT_STREQ(PeloLink.rxDatagram.szText, "OK");
}

TEST_F(PeloLinkTest, AcknowledgementCopiesTheNumberBetweenTwoFourMillisecondPauses) {
  Connect();
  for (const bool fails : {false, true}) {
    vp.ClearLog();
    adapter.SendAt(0, Datagram(PELO_PKT_DATA, 300, "x"));
    ASSERT_EQ(PeloPoll(), PollResult::kDatagram);
    if (fails) vp.Fail(Call::WsSend, 1, 10055);
    const Micros before = vp.Now();
    EXPECT_EQ(PeloAck(), !fails);
    const Micros after = vp.Now();
    ASSERT_EQ(Sent(), std::vector<std::string>{std::string("\x04\x00\x2C\x01\x00", 5)});
    const Micros sentAt = SendTimes()[0];
    EXPECT_GE(sentAt - before, 4000u);
    EXPECT_LT(sentAt - before, 4100u);
    // A send that failed skips the second pause and records no error.
    EXPECT_GE(after - sentAt, fails ? 0u : 4000u) << fails;
    EXPECT_LT(after - sentAt, fails ? 100u : 4100u) << fails;
    EXPECT_EQ(ErrorState(), "0 None");
  }
}

TEST_F(PeloLinkTest, FlushAcknowledgesDrainsAndAcknowledgesTheLastRead) {
  Connect();
  for (uint16_t type : {PELO_PKT_INIT, PELO_PKT_DATA}) {
    vp.ClearLog();
    adapter.SendAt(0, Datagram(type, 11, "a"));
    adapter.SendAt(0, Datagram(PELO_PKT_COMMAND, 12, "b"));
    adapter.SendAt(0, Datagram(PELO_PKT_DATA, 13, "c"));
    EXPECT_TRUE(PeloFlush());
    EXPECT_EQ(Sent(), (std::vector<std::string>{Ack(11), Ack(13)})) << "type " << type;
    EXPECT_EQ(ErrorState(), "0 None");
  }
  // Nothing to drain: the first datagram is acknowledged twice.
  vp.ClearLog();
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 14, "d"));
  EXPECT_TRUE(PeloFlush());
  EXPECT_EQ(Sent(), (std::vector<std::string>{Ack(14), Ack(14)}));
}

TEST_F(PeloLinkTest, FlushDropsOtherTypesWithoutAnswer) {
  Connect();
  for (uint16_t type : {0, 1, 4, 5, 6, 7, 0xFFFF}) {
    vp.ClearLog();
    adapter.SendAt(0, Datagram(type, 3, "e"));
    adapter.SendAt(0, Datagram(PELO_PKT_DATA, 4, "f"));
    EXPECT_TRUE(PeloFlush()) << "type " << type;
    EXPECT_TRUE(Sent().empty()) << "type " << type;
    EXPECT_EQ(vp.LogOf(Call::WsRecv).size(), 1u) << "one read only";
    // The data datagram behind it is left for the exchange.
    ASSERT_EQ(PeloPoll(), PollResult::kDatagram);
    EXPECT_EQ(PeloLink.rxDatagram.wSeq, 4);
  }
}

TEST_F(PeloLinkTest, DrainStopsAtTheFirstFailedOrEmptyRead) {
  Connect();
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 21, "a"));
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 22, "b"));
  adapter.SendAt(0, "");
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 23, "c"));
  SetError(kErrNoReply);
  PeloDrain();
  EXPECT_EQ(PeloLink.rxDatagram.wSeq, 22);
  EXPECT_EQ(vp.LogOf(Call::WsRecv).size(), 3u);
  EXPECT_EQ(ErrorState(), "40 No reply from terminal") << "the drain records nothing";
  ASSERT_EQ(PeloPoll(), PollResult::kDatagram);
  EXPECT_EQ(PeloLink.rxDatagram.wSeq, 23);
}

// A datagram ready at every read, numbered on.
class FloodPeer : public platform::virt::DatagramPeer {
 public:
  void FromHost(const uint8_t *, size_t, Micros) override {}
  bool ToHost(Micros, std::string *datagram) override {
    *datagram = Datagram(PELO_PKT_DATA, static_cast<uint16_t>(++seq), "\x01flood");
    return true;
  }
  int seq = 0;
};

TEST_F(PeloLinkTest, AFloodHoldsTheCleanOutNoLongerThanTheTimeOut) {
  Connect();
  FloodPeer flood;
  vp.AttachAdapter(&flood);
  device::DeviceState.nWinSockTimeOut = 200;
  const Micros start = vp.Now();
  EXPECT_TRUE(PeloFlush());
  const Micros elapsed = vp.Now() - start;
  EXPECT_GE(elapsed, 200000u);
  EXPECT_LT(elapsed, 230000u);
  // The first datagram and the last one read are acknowledged.
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[0], Ack(1));
  EXPECT_EQ(Sent()[1], Ack(static_cast<uint16_t>(flood.seq)));
}

}  // namespace
}  // namespace veldc::test
