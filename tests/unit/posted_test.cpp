// Posting commands and collecting replies later.
#include <string>

#include "protocol/exchange.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using platform::virt::Micros;

class Posted : public SerialTest {
 protected:
  void Select(int kind, int address) {
    Open(kind);
    device::bySelectedTerminal = static_cast<uint8_t>(address);
  }
  std::string Collect() {
    char reply[VELDC_REPLY_SIZE] = "";
    return GetResponse(reply) == 0 ? std::string("0 ") + reply : ErrorState();
  }
};

TEST_F(Posted, PostReturnsAtOnceAndTheReplyIsCollectedLater) {
  Select(DEV_SERIAL_NETWORK, 12);
  peer.Reply("012OK\r");
  const Micros start = vp.Now();
  EXPECT_EQ(PostCommand("TIME"), 0);
  EXPECT_LT(vp.Now() - start, 1000u);
  EXPECT_EQ(Written(), "012TIME\r");
  EXPECT_EQ(vp.LogOf(Call::ComPurge).back().a, static_cast<int64_t>(platform::kPurgeTxClear))
      << "only the output queue is purged";
  vp.Advance(50000);
  EXPECT_EQ(Collect(), "0 OK");
  EXPECT_EQ(Collect(), "40 No reply from terminal");
}

TEST_F(Posted, CollectingChecksTheAddressEvenAfterTheModemDialogue) {
  Select(DEV_SERIAL_NETWORK, 12);
  protocol::bAddressedReplies = 0;
  peer.SendAt(0, "013OK\r012~S\r01\r012OK\r");
  vp.Advance(1000);
  EXPECT_EQ(Collect(), "41 Reply from wrong terminal");
  EXPECT_EQ(Collect(), "42 Cannot send a message");
  EXPECT_EQ(Collect(), "88 Cannot receive a message");
  EXPECT_EQ(Collect(), "0 OK");
}

TEST_F(Posted, CollectingAnUnfinishedLineGivesUpAfter1024Reads) {
  Select(DEV_SERIAL_DIRECT, 0);
  peer.SendAt(0, "PARTIAL");
  vp.Advance(1000);
  EXPECT_EQ(Collect(), "35 Bad RS232 end of record");
  peer.SendAt(vp.Now(), std::string(128, 'y'));
  vp.Advance(1000);
  EXPECT_EQ(Collect(), "93 Record buffer overflow");
}

TEST_F(Posted, AnyLineErrorFailsTheCollection) {
  Select(DEV_SERIAL_DIRECT, 0);
  vp.QueueClearErrorMask(24);
  EXPECT_EQ(Collect(), "70 Windows error: 24") << "no ride-out when collecting";
}

TEST_F(Posted, ChecksAndLimits) {
  EXPECT_EQ(PostCommand("X"), -1);
  EXPECT_EQ(ErrorState(), "2 Device not initialized");
  EXPECT_EQ(GetResponse(nullptr), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  Open(DEV_SERIAL_DIRECT);
  EXPECT_EQ(PostCommand("X"), -1);
  EXPECT_EQ(ErrorState(), "4 No terminal selected");
  device::bySelectedTerminal = 0;
  EXPECT_EQ(PostCommand(std::string(128, 'p').c_str()), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(Written(), "");
  vp.FailWriteFile(true);
  EXPECT_EQ(PostCommand(nullptr), 0) << "a failed write is not reported";
}

class PostedKov74 : public Kov74Test {};

TEST_F(PostedKov74, OneSendAndOnePoll) {
  Open();
  device::bySelectedTerminal = 3;
  driver.sendResults = {1};
  EXPECT_EQ(PostCommand("TIME"), -1);
  EXPECT_EQ(ErrorState(), "42 Cannot send a message");
  EXPECT_EQ(driver.sent.size(), 1u);
  EXPECT_EQ(PostCommand(std::string(121, 'k').c_str()), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  char reply[VELDC_REPLY_SIZE];
  EXPECT_EQ(GetResponse(reply), -1);
  EXPECT_EQ(ErrorState(), "40 No reply from terminal");
  driver.waiting.push_back({4, "OK"});
  EXPECT_EQ(GetResponse(reply), -1);
  EXPECT_EQ(ErrorState(), "41 Reply from wrong terminal");
  driver.waiting.push_back({3, "OK"});
  EXPECT_EQ(GetResponse(reply), 0);
  EXPECT_STREQ(reply, "OK");
}

}  // namespace
}  // namespace veldc::test
