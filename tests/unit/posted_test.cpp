// Posting commands and collecting replies later.
#include <string>

#include "protocol/exchange.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using platform::virt::Micros;

// Collects a reply and returns "0 reply" or the error state.
std::string Collect() {
  char reply[VELDC_REPLY_SIZE] = "";
  return GetResponse(reply) == 0 ? std::string("0 ") + reply : ErrorState();
}

using Posted = SerialTest;

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
  vp.FailWriteFile(true);
  EXPECT_EQ(PostCommand(nullptr), 0) << "a failed write is not reported";
  EXPECT_EQ(ErrorState(), "0 None");
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

// Collecting never waits: an empty queue fails at once, an unfinished line after 1024 reads,
// and every line error counts (the number of empty reads is that of ClearCommError calls).
TEST_F(Posted, CollectionFailuresOnTheDirectLine) {
  Select(DEV_SERIAL_DIRECT, 0);
  struct {
    std::string input;
    uint32_t mask;
    const char *state;
    size_t emptyReads;
  } cases[] = {{"PARTIAL", 0, "35 Bad RS232 end of record", 1024 - 7},
               {std::string(128, 'y'), 0, "93 Record buffer overflow", 0},
               {"", 24, "70 Windows error: 24", 1},
               {"\n", 0, "40 No reply from terminal", 1}};
  for (const auto &c : cases) {
    if (!c.input.empty()) peer.SendAt(vp.Now(), c.input);
    if (c.mask != 0) vp.QueueClearErrorMask(c.mask);
    vp.Advance(1000);
    vp.ClearLog();
    EXPECT_EQ(Collect(), c.state);
    EXPECT_EQ(vp.LogOf(Call::ComClearError).size(), c.emptyReads) << c.state;
  }
}

using PostedKov74 = Kov74Test;

TEST_F(PostedKov74, OneSendAndOnePoll) {
  Open();
  device::bySelectedTerminal = 3;
  driver.sendResults = {1};
  EXPECT_EQ(Outcome(PostCommand("TIME")), "-1 42 Cannot send a message");
  EXPECT_EQ(driver.sent.size(), 1u);
  EXPECT_EQ(Outcome(PostCommand(std::string(121, 'k').c_str())), "-1 3 Wrong parameters");
  EXPECT_EQ(Collect(), "40 No reply from terminal");
  driver.waiting.push_back({4, "OK"});
  EXPECT_EQ(Collect(), "41 Reply from wrong terminal");
  driver.waiting.push_back({3, "OK"});
  EXPECT_EQ(Collect(), "0 OK");
}

}  // namespace
}  // namespace veldc::test
