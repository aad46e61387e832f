// The Pelo datagram: numbering, sending, reading, acknowledging and the clean-out read.
#include <string>

#include "core/errors.h"
#include "device/device.h"
#include "pelo_fixture.h"

namespace veldc::test {
namespace {

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

TEST_F(PeloLinkTest, FlushAcknowledgesAnInitOrDataDrainsAndAcknowledgesTheLastRead) {
  Connect();
  for (uint16_t type : {0, 1, 2, 3, 4, 5, 6, 7, 0xFFFF}) {
    const bool taken = type == PELO_PKT_INIT || type == PELO_PKT_DATA;
    vp.ClearLog();
    adapter.SendAt(0, Datagram(type, 11, "a"));
    adapter.SendAt(0, Datagram(PELO_PKT_COMMAND, 12, "b"));
    adapter.SendAt(0, Datagram(PELO_PKT_DATA, 13, "c"));
    EXPECT_TRUE(PeloFlush()) << "type " << type;
    const std::vector<std::string> acks{Ack(11), Ack(13)};
    EXPECT_EQ(Sent(), taken ? acks : std::vector<std::string>()) << "type " << type;
    EXPECT_EQ(ErrorState(), "0 None");
    if (taken) continue;
    // Other types are dropped after one read; what is behind them is left for the exchange.
    EXPECT_EQ(vp.LogOf(Call::WsRecv).size(), 1u) << "one read only";
    ASSERT_EQ(PeloPoll(), PollResult::kDatagram);
    EXPECT_EQ(PeloLink.rxDatagram.wSeq, 12);
    ASSERT_EQ(PeloPoll(), PollResult::kDatagram);
    EXPECT_EQ(PeloLink.rxDatagram.wSeq, 13);
  }
  // Nothing to drain: the first datagram is acknowledged twice.
  vp.ClearLog();
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 14, "d"));
  EXPECT_TRUE(PeloFlush());
  EXPECT_EQ(Sent(), (std::vector<std::string>{Ack(14), Ack(14)}));
}

TEST_F(PeloLinkTest, DrainReadsPastEmptyDatagramsAndStopsAtTheFirstFailedRead) {
  Connect();
  for (int seq : {21, 22}) adapter.SendAt(0, Datagram(PELO_PKT_DATA, seq, "a"));
  adapter.SendAt(0, "");
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 23, "c"));
  vp.Fail(Call::WsRecv, 5, 10054);
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 24, "d"));
  SetError(kErrNoReply);
  PeloDrain();
  EXPECT_EQ(PeloLink.rxDatagram.wSeq, 23);
  EXPECT_EQ(vp.LogOf(Call::WsRecv).size(), 5u);
  EXPECT_EQ(ErrorState(), "40 No reply from terminal") << "the drain records nothing";
  ASSERT_EQ(PeloPoll(), PollResult::kDatagram);
  EXPECT_EQ(PeloLink.rxDatagram.wSeq, 24);
}

TEST_F(PeloLinkTest, AFloodHoldsTheCleanOutNoLongerThanTheTimeOut) {
  Connect();
  FloodPeer flood(&adapter, [](int n) {
    return Datagram(PELO_PKT_DATA, static_cast<uint16_t>(n),
                    "\x01"
                    "flood");
  });
  vp.AttachAdapter(&flood);
  device::DeviceState.nWinSockTimeOut = 200;
  const Micros start = vp.Now();
  EXPECT_TRUE(PeloFlush());
  EXPECT_GE(vp.Now() - start, 200000u);
  EXPECT_LT(vp.Now() - start, 230000u);
  // The first datagram and the last one read are acknowledged.
  EXPECT_EQ(Sent(), (std::vector<std::string>{Ack(1), Ack(static_cast<uint16_t>(flood.count))}));
}

}  // namespace
}  // namespace veldc::test
