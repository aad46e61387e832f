// The command frame, the reply readers and posted commands of the serial and Kov74 families.
#include "protocol/exchange.h"

#include <cstring>
#include <functional>
#include <string>

#include "core/errors.h"
#include "device/device.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using namespace std::string_literals;

// Sends `command` (or collects a posted reply) and returns "0 reply" or the error state.
std::string Send(const char *command) {
  char reply[VELDC_REPLY_SIZE] = "untouched";
  return SendCommand(command, reply) == 0 ? std::string("0 ") + reply : ErrorState();
}
std::string Collect() {
  char reply[VELDC_REPLY_SIZE] = "";
  return GetResponse(reply) == 0 ? std::string("0 ") + reply : ErrorState();
}

using SerialExchange = SerialTest;

TEST_F(SerialExchange, NetworkFrameCarriesTheAddressBothWays) {
  Select(DEV_SERIAL_NETWORK, 5);
  peer.Reply("005OK\r");
  EXPECT_EQ(Send("TIME"), "0 OK");
  EXPECT_EQ(Written(), "005TIME\r");
  // Unaddressed lines (the modem dialogue) are taken whole; "~S"/"~R" still fail them.
  const std::tuple<int, const char *, const char *> cases[] = {
      {1, "007OK\r", "41 Reply from wrong terminal"},
      {1, "005~S\r", "42 Cannot send a message"},
      {1, "005~R\r", "88 Cannot receive a message"},
      {1, "05\r", "88 Cannot receive a message"},
      {1, "005A~S~S\r", "0 A~S~S"},
      {1, "\n005OK\r", "0 OK"},
      {1, "  5OK\r", "0 OK"},
      {1, "005\r", "88 Cannot receive a message"},
      {0, "OK\r", "0 OK"},
      {0, "~S\r", "42 Cannot send a message"},
      {0, "X~R\r", "88 Cannot receive a message"},
      {0, "\r", "0 "}};
  for (const auto &[addressed, line, result] : cases) {
    protocol::bAddressedReplies = addressed;
    peer.Reply(line);
    EXPECT_EQ(Send("TIME"), result) << line;
  }
  // The one failure that still hands over the text.
  protocol::bAddressedReplies = 1;
  peer.Reply("006HELLO\r");
  char reply[VELDC_REPLY_SIZE] = "";
  EXPECT_EQ(SendCommand("X", reply), -1);
  EXPECT_STREQ(reply, "HELLO");
}

// What the direct line hears for each command and what becomes of each kind of line.
TEST_F(SerialExchange, LinesOfTheDirectKind) {
  Select(DEV_SERIAL_DIRECT, 0);
  const std::string longest(127, 'C'), x127(127, 'x');
  const struct {
    const char *command;  // nullptr: the empty command
    int echo;             // bLineEcho
    std::string line, result;
  } cases[] = {
      {longest.c_str(), 0, "OK\r", "0 OK"},
      {nullptr, 0, "E\r", "0 E"},
      {"A", 0, std::string(128, 'x'), "93 Record buffer overflow"},
      {"A", 0, x127 + "\r", "0 " + x127},
      {"A", 0, "0123456789", "35 Bad RS232 end of record"},
      {"A", 0, "", "40 No reply from terminal"},
      {"A", 0, "AB\nCD\r", "0 AB\nCD"},
      {"%%", 0, "\0\0!!!\r"s, "0 !!!"},
      {"X%%", 0, "\0AB\r"s, "0 "},  // only the exact reset command skips NULs
      {"TIME", 1, "TIME\rTIME 101010\r", "0 TIME 101010"},
  };
  for (const auto &c : cases) {
    vp.ClearWritten();
    protocol::bLineEcho = c.echo;
    peer.Reply(c.line);
    EXPECT_EQ(Send(c.command), c.result) << c.line;
    EXPECT_EQ(Written(), std::string(c.command != nullptr ? c.command : "") + "\r");
  }
}

// Ordinary commands wait the larger of the setting and 10 half-seconds, "%%" the setting in
// seconds; a wait may end up to 1 ms short (the tick count's steps). A complete line is
// followed by a 10 ms pause, except an addressed network line.
TEST_F(SerialExchange, WaitsFollowTheSettingAndPauseAfterALine) {
  Select(DEV_SERIAL_DIRECT, 0);
  const std::tuple<int, const char *, Micros> waits[] = {{10, "TIME", 5000},  {10, "%%", 10000},
                                                         {4, "TIME", 5000},   {4, "%%", 4000},
                                                         {20, "TIME", 10000}, {20, "A%%B", 20000}};
  for (const auto &[setting, command, ms] : waits) {
    ASSERT_EQ(Set232TimeOut(setting), 0);
    const Micros start = vp.Now();
    Send(command);
    EXPECT_TRUE(Within((vp.Now() - start) / 1000, ms - 1, ms + 10)) << setting << command;
  }
  ASSERT_EQ(ExitCOMM(), 0);
  const struct {
    int kind, address, addressed;
    const char *line;
    Micros pause;
  } cases[] = {{DEV_SERIAL_DIRECT, 0, 1, "OK\r", 10000},
               {DEV_SERIAL_LOGON, 3, 1, "OK\r", 10000},
               {DEV_SERIAL_NETWORK, 5, 1, "005OK\r", 0},
               {DEV_SERIAL_NETWORK, 5, 0, "OK\r", 10000}};
  peer.replyDelay = 1000;
  for (const auto &c : cases) {
    Select(c.kind, c.address);
    protocol::bAddressedReplies = c.addressed;
    peer.Reply(c.line);
    const Micros start = vp.Now();
    EXPECT_EQ(Send("T"), "0 OK") << c.kind;
    EXPECT_TRUE(Within(vp.Now() - start, 1000u + c.pause, 1000u + c.pause + 2500u)) << c.kind;
    ASSERT_EQ(ExitCOMM(), 0);
  }
}

// Line errors ride out a reply or fail the call; the wait after an empty read ends the moment
// the reply comes, but bytes during the pause after the line do not shorten it. A port whose
// device goes away mid-wait fails the call at that instant with the port's error.
TEST_F(SerialExchange, LineErrorsAndWaitsThatEndWithTheReplyOrTheHangUp) {
  Select(DEV_SERIAL_DIRECT, 0);
  vp.QueueClearErrorMask(24);
  peer.replyDelay = 2500000;  // the line completes only after the pause
  peer.Reply("OK\r");
  Micros start = vp.Now();
  EXPECT_EQ(Send("TIME"), "0 OK");
  EXPECT_GE(vp.Now() - start, 2000000u);
  EXPECT_EQ(ErrorState(), "70 Windows error: 24") << "the ride-out leaves its code";
  vp.QueueClearErrorMask(8);
  EXPECT_EQ(Send("TIME"), "70 Windows error: 8");
  vp.FailWriteFile(true);
  vp.QueueClearErrorMask(4);
  EXPECT_EQ(Send("TIME"), "70 Windows error: 4");
  vp.FailWriteFile(false);

  peer.replyDelay = 700;
  peer.Reply("OK\r");
  start = vp.Now();
  peer.SendAt(start + 3000, "X");
  EXPECT_EQ(Send("T"), "0 OK");
  EXPECT_TRUE(Within(vp.Now() - start, 10700u, 10800u));
  start = vp.Now();
  vp.HangUpAt(start + 300000);
  EXPECT_EQ(Send("T"), "70 Windows error: 1024");
  EXPECT_TRUE(Within(vp.Now() - start, 300000u, 300100u));
  // Later calls fail as soon as they look, and writes are refused the same way.
  char text[VELDC_REPLY_SIZE];
  start = vp.Now();
  EXPECT_EQ(Outcome(GetMsgEx(text)), "-1 70 Windows error: 1024");
  EXPECT_LT(vp.Now() - start, 100u);
  EXPECT_EQ(Send("T"), "70 Windows error: 1024");
}

// The checks of the four exchange calls, in their order, none causing traffic: the codes with
// no device open, with no terminal selected and with terminal 0 selected, one digit each.
TEST_F(SerialExchange, ChecksComeFirstAndCauseNoTraffic) {
  char text[VELDC_REPLY_SIZE];
  const std::string tooLong(128, 'C');
  const std::pair<std::function<int()>, std::string> cases[] = {
      {[&] { return SendCommand("TIME", text); }, "24"},
      {[&] { return GetMsgEx(text); }, "24"},
      {[&] { return PostCommand("TIME"); }, "24"},
      {[&] { return GetResponse(text); }, "24"},
      {[&] { return SendCommand(tooLong.c_str(), text); }, "243"},
      {[&] { return PostCommand(tooLong.c_str()); }, "243"},
      {[&] { return SendCommand("TIME", nullptr); }, "243"},
      {[&] { return GetMsgEx(nullptr); }, "333"},
      {[&] { return GetResponse(nullptr); }, "333"},
  };
  for (size_t state = 0; state < 3; ++state) {
    if (state > 0) Select(DEV_SERIAL_DIRECT, state == 1 ? device::NO_TERMINAL : 0);
    for (const auto &[call, codes] : cases) {
      if (state >= codes.size()) continue;
      EXPECT_EQ(call(), -1) << codes << " " << state;
      EXPECT_EQ(nErrorCode, codes[state] - '0') << codes << " " << state;
    }
    if (state > 0) {
      ASSERT_EQ(ExitCOMM(), 0);
    }
  }
  EXPECT_EQ(Written(), "");
}

TEST_F(SerialExchange, UnsolicitedMessages) {
  Select(DEV_SERIAL_DIRECT, 0);
  char text[VELDC_REPLY_SIZE];
  const Micros start = vp.Now();
  EXPECT_EQ(Outcome(GetMsgEx(text)), "-1 40 No reply from terminal");
  EXPECT_TRUE(Within(vp.Now() - start, 999000u, 1010000u));
  peer.SendAt(vp.Now() + 300000, "BADGE 1234\r");
  EXPECT_EQ(GetMsgEx(text), 0);
  EXPECT_STREQ(text, "BADGE 1234");
  EXPECT_EQ(Written(), "") << "listening sends nothing";
}

TEST_F(SerialExchange, PostReturnsAtOnceAndTheReplyIsCollectedLater) {
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
  // Collecting checks the address even after the modem dialogue.
  vp.FailWriteFile(false);
  protocol::bAddressedReplies = 0;
  peer.SendAt(vp.Now(), "013OK\r012~S\r01\r012OK\r");
  vp.Advance(1000);
  for (const char *state : {"41 Reply from wrong terminal", "42 Cannot send a message",
                            "88 Cannot receive a message", "0 OK"}) {
    EXPECT_EQ(Collect(), state);
  }
}

// Collecting never waits: an empty queue fails at once, an unfinished line after 1024 reads,
// and every line error counts (the number of empty reads is that of ClearCommError calls).
TEST_F(SerialExchange, CollectionFailuresOnTheDirectLine) {
  Select(DEV_SERIAL_DIRECT, 0);
  const std::tuple<std::string, uint32_t, const char *, size_t> cases[] = {
      {"PARTIAL", 0, "35 Bad RS232 end of record", 1024 - 7},
      {std::string(128, 'y'), 0, "93 Record buffer overflow", 0},
      {"", 24, "70 Windows error: 24", 1},
      {"\n", 0, "40 No reply from terminal", 1}};
  for (const auto &[input, mask, state, emptyReads] : cases) {
    if (!input.empty()) peer.SendAt(vp.Now(), input);
    if (mask != 0) vp.QueueClearErrorMask(mask);
    vp.Advance(1000);
    vp.ClearLog();
    EXPECT_EQ(Collect(), state);
    EXPECT_EQ(vp.LogOf(Call::ComClearError).size(), emptyReads) << state;
  }
}

class Kov74Exchange : public Kov74Test {
 protected:
  void SetUp() override {
    Kov74Test::SetUp();
    Open();
    device::bySelectedTerminal = 9;
  }
  void Answer(std::function<std::string(int, const std::string &)> text, int from = 0) {
    driver.responder = [text, from](int address, const std::string &sent) {
      return ScriptKov74::Messages{{from ? from : address, text(address, sent)}};
    };
  }
};

TEST_F(Kov74Exchange, SendsThePlainTextAndChecksTheSender) {
  Answer([](int, const std::string &text) { return "ECHO " + text; });
  EXPECT_EQ(Send("TIME"), "0 ECHO TIME");
  EXPECT_EQ(driver.sent, (ScriptKov74::Messages{{9, "TIME"}}));
  EXPECT_EQ(driver.polls.front(), 9) << "a discarding poll comes before the send";
  Answer([](int, const std::string &) { return "OK"; }, 10);
  EXPECT_EQ(Send("TIME"), "41 Reply from wrong terminal");
  // Overlong driver text is cut to the reply buffer.
  Answer([](int, const std::string &) { return std::string(200, 'L'); });
  char reply[VELDC_REPLY_SIZE + 8];
  std::memset(reply, '#', sizeof reply);
  EXPECT_EQ(SendCommand("X", reply), 0);
  EXPECT_EQ(std::strlen(reply), static_cast<size_t>(VELDC_REPLY_SIZE - 1));
  EXPECT_EQ(reply[VELDC_REPLY_SIZE], '#');
}

TEST_F(Kov74Exchange, RefusedSendsTheLengthLimitAndTheWaits) {
  driver.sendResults = {1, 1, 1};
  EXPECT_EQ(Send("TIME"), "42 Cannot send a message");
  EXPECT_EQ(driver.sent.size(), 3u);
  EXPECT_EQ(driver.polls.size(), 3u) << "one discarding poll before each send";
  EXPECT_EQ(Send(std::string(121, 'x').c_str()), "3 Wrong parameters");
  EXPECT_EQ(driver.sent.size(), 3u);
  ASSERT_EQ(Set232TimeOut(4), 0);  // seconds here
  Micros start = vp.Now();
  EXPECT_EQ(Send(std::string(120, 'x').c_str()), "40 No reply from terminal");
  EXPECT_EQ(driver.sent.size(), 4u);
  EXPECT_TRUE(Within(vp.Now() - start, 3999000u, 4010000u));
  start = vp.Now();  // listening waits one second whatever the setting
  char message[VELDC_REPLY_SIZE];
  EXPECT_EQ(Outcome(GetMsgEx(message)), "-1 40 No reply from terminal");
  EXPECT_TRUE(Within(vp.Now() - start, 999000u, 1010000u));
}

TEST_F(Kov74Exchange, PostIsOneSendAndCollectingOnePoll) {
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
