// The command frame and the reply readers of the serial and Kov74 families.
#include "protocol/exchange.h"

#include <cstring>
#include <string>

#include "support/fixture.h"

namespace veldc::test {
namespace {

using namespace std::string_literals;
using platform::virt::Micros;

class SerialExchange : public SerialTest {
 protected:
  // Opens `kind` with terminal `address` selected, without selection traffic.
  void Select(int kind, int address) {
    Open(kind);
    device::bySelectedTerminal = static_cast<uint8_t>(address);
  }
  // Sends `command` and returns "result reply-or-error".
  std::string Send(const char *command) {
    char reply[VELDC_REPLY_SIZE] = "untouched";
    const int r = SendCommand(command, reply);
    return r == 0 ? std::string("0 ") + reply : ErrorState();
  }
  // Elapsed virtual milliseconds of one SendCommand.
  Micros TimedSendMs(const char *command) {
    const Micros start = vp.Now();
    char reply[VELDC_REPLY_SIZE];
    SendCommand(command, reply);
    return (vp.Now() - start) / 1000;
  }
};

TEST_F(SerialExchange, NetworkFrameCarriesTheAddressBothWays) {
  Select(DEV_SERIAL_NETWORK, 5);
  peer.Reply("005OK\r");
  EXPECT_EQ(Send("TIME"), "0 OK");
  EXPECT_EQ(Written(), "005TIME\r");
  struct {
    const char *line;
    const char *result;
  } cases[] = {{"007OK\r", "41 Reply from wrong terminal"},
               {"005~S\r", "42 Cannot send a message"},
               {"005~R\r", "88 Cannot receive a message"},
               {"05\r", "88 Cannot receive a message"},
               {"005A~S~S\r", "0 A~S~S"},
               {"\n005OK\r", "0 OK"},
               {"  5OK\r", "0 OK"},
               {"005\r", "88 Cannot receive a message"}};
  for (const auto &c : cases) {
    peer.Reply(c.line);
    EXPECT_EQ(Send("TIME"), c.result) << c.line;
  }
}

TEST_F(SerialExchange, WrongTerminalStillHandsOverTheText) {
  Select(DEV_SERIAL_NETWORK, 5);
  peer.Reply("006HELLO\r");
  char reply[VELDC_REPLY_SIZE] = "";
  EXPECT_EQ(SendCommand("X", reply), -1);
  EXPECT_STREQ(reply, "HELLO");
}

TEST_F(SerialExchange, CommandLengthLimitsAndNullArgumentsCauseNoTraffic) {
  Select(DEV_SERIAL_DIRECT, 0);
  const std::string longest(127, 'C');
  peer.Reply("OK\r");
  EXPECT_EQ(Send(longest.c_str()), "0 OK");
  EXPECT_EQ(Written(), longest + "\r");
  vp.ClearWritten();
  const std::string tooLong(128, 'C');
  EXPECT_EQ(Send(tooLong.c_str()), "3 Wrong parameters");
  EXPECT_EQ(SendCommand("TIME", nullptr), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(Written(), "");
  peer.Reply("E\r");
  EXPECT_EQ(Send(nullptr), "0 E");
  EXPECT_EQ(Written(), "\r") << "a null command is the empty command";
}

TEST_F(SerialExchange, DeviceAndSelectionAreCheckedFirst) {
  EXPECT_EQ(Send("TIME"), "2 Device not initialized");
  Open(DEV_SERIAL_DIRECT);
  EXPECT_EQ(Send("TIME"), "4 No terminal selected");
  EXPECT_EQ(Written(), "");
}

TEST_F(SerialExchange, LineFaults) {
  Select(DEV_SERIAL_DIRECT, 0);
  peer.Reply(std::string(128, 'x'));
  EXPECT_EQ(Send("A"), "93 Record buffer overflow");
  peer.Reply(std::string(127, 'x') + "\r");
  EXPECT_EQ(Send("A"), "0 " + std::string(127, 'x'));
  peer.Reply("0123456789");
  EXPECT_EQ(Send("A"), "35 Bad RS232 end of record");
  EXPECT_EQ(Send("A"), "40 No reply from terminal");
  peer.Reply("AB\nCD\r");
  EXPECT_EQ(Send("A"), "0 AB\nCD");
}

TEST_F(SerialExchange, NulBeforeTheAnswerToResetIsSkippedOnlyThen) {
  Select(DEV_SERIAL_DIRECT, 0);
  peer.Reply("\0\0!!!\r"s);
  EXPECT_EQ(Send("%%"), "0 !!!");
  peer.Reply("\0AB\r"s);
  EXPECT_EQ(Send("X%%"), "0 ") << "only the exact reset command skips NULs";
}

TEST_F(SerialExchange, WaitsFollowTheSetting) {
  Select(DEV_SERIAL_DIRECT, 0);
  // The tick count has millisecond steps, so a wait may end up to 1 ms short of its limit.
  const Micros ordinary = TimedSendMs("TIME");
  EXPECT_GE(ordinary, 4999u);
  EXPECT_LT(ordinary, 5010u);
  const Micros reset = TimedSendMs("%%");
  EXPECT_GE(reset, 9999u);
  EXPECT_LT(reset, 10010u);
  ASSERT_EQ(Set232TimeOut(4), 0);
  EXPECT_GE(TimedSendMs("TIME"), 4999u);
  const Micros shortReset = TimedSendMs("%%");
  EXPECT_GE(shortReset, 3999u);
  EXPECT_LT(shortReset, 4010u);
}

TEST_F(SerialExchange, FramingErrorWithBreakIsRiddenOut) {
  Select(DEV_SERIAL_DIRECT, 0);
  vp.QueueClearErrorMask(24);
  peer.replyDelay = 2500000;  // the line completes only after the pause
  peer.Reply("OK\r");
  const Micros start = vp.Now();
  EXPECT_EQ(Send("TIME"), "0 OK");
  EXPECT_GE(vp.Now() - start, 2000000u);
  EXPECT_EQ(ErrorState(), "70 Windows error: 24") << "the ride-out leaves its code";
  vp.QueueClearErrorMask(8);
  EXPECT_EQ(Send("TIME"), "70 Windows error: 8");
}

TEST_F(SerialExchange, FailedWriteReportsTheMask) {
  Select(DEV_SERIAL_DIRECT, 0);
  vp.FailWriteFile(true);
  vp.QueueClearErrorMask(4);
  EXPECT_EQ(Send("TIME"), "70 Windows error: 4");
}

TEST_F(SerialExchange, DirectLinePausesTenMillisecondsAfterALine) {
  Select(DEV_SERIAL_DIRECT, 0);
  peer.replyDelay = 1000;
  peer.Reply("OK\r");
  const Micros start = vp.Now();
  EXPECT_EQ(Send("T"), "0 OK");
  EXPECT_GE(vp.Now() - start, 1000u + 10000u);
  EXPECT_LT(vp.Now() - start, 1000u + 10000u + 2500u);
}

TEST_F(SerialExchange, EchoingLineHasItsEchoReadFirst) {
  Select(DEV_SERIAL_DIRECT, 0);
  protocol::bLineEcho = 1;
  peer.Reply("TIME\rTIME 101010\r");
  EXPECT_EQ(Send("TIME"), "0 TIME 101010");
}

TEST_F(SerialExchange, UnsolicitedMessages) {
  char text[VELDC_REPLY_SIZE];
  EXPECT_EQ(GetMsgEx(text), -1);
  EXPECT_EQ(ErrorState(), "2 Device not initialized");
  Open(DEV_SERIAL_DIRECT);
  EXPECT_EQ(GetMsgEx(nullptr), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(GetMsgEx(text), -1);
  EXPECT_EQ(ErrorState(), "4 No terminal selected");
  device::bySelectedTerminal = 0;
  const Micros start = vp.Now();
  EXPECT_EQ(GetMsgEx(text), -1);
  EXPECT_EQ(ErrorState(), "40 No reply from terminal");
  EXPECT_GE(vp.Now() - start, 999000u);
  peer.SendAt(vp.Now() + 300000, "BADGE 1234\r");
  EXPECT_EQ(GetMsgEx(text), 0);
  EXPECT_STREQ(text, "BADGE 1234");
  EXPECT_EQ(Written(), "") << "listening sends nothing";
}

class Kov74Exchange : public Kov74Test {
 protected:
  void SetUp() override {
    Kov74Test::SetUp();
    Open();
    device::bySelectedTerminal = 9;
  }
  std::string Send(const char *command) {
    char reply[VELDC_REPLY_SIZE] = "";
    return SendCommand(command, reply) == 0 ? std::string("0 ") + reply : ErrorState();
  }
};

TEST_F(Kov74Exchange, SendsThePlainTextAndChecksTheSender) {
  driver.responder = [](int address, const std::string &text) {
    return std::vector<std::pair<int, std::string>>{{address, "ECHO " + text}};
  };
  EXPECT_EQ(Send("TIME"), "0 ECHO TIME");
  ASSERT_EQ(driver.sent.size(), 1u);
  EXPECT_EQ(driver.sent[0], std::make_pair(9, std::string("TIME")));
  EXPECT_EQ(driver.polls.front(), 9) << "a discarding poll comes before the send";
  driver.responder = [](int, const std::string &) {
    return std::vector<std::pair<int, std::string>>{{10, "OK"}};
  };
  EXPECT_EQ(Send("TIME"), "41 Reply from wrong terminal");
}

TEST_F(Kov74Exchange, ThreeRefusedSendsAndTheLengthLimit) {
  driver.sendResults = {1, 1, 1};
  EXPECT_EQ(Send("TIME"), "42 Cannot send a message");
  EXPECT_EQ(driver.sent.size(), 3u);
  EXPECT_EQ(driver.polls.size(), 3u);
  EXPECT_EQ(Send(std::string(121, 'x').c_str()), "3 Wrong parameters");
  EXPECT_EQ(driver.sent.size(), 3u);
}

TEST_F(Kov74Exchange, WaitsTheSettingInSeconds) {
  ASSERT_EQ(Set232TimeOut(4), 0);
  const Micros start = vp.Now();
  EXPECT_EQ(Send("TIME"), "40 No reply from terminal");
  EXPECT_GE(vp.Now() - start, 3999000u);
  EXPECT_LT(vp.Now() - start, 4010000u);
}

TEST_F(Kov74Exchange, OverlongDriverTextIsCutToTheReplyBuffer) {
  driver.responder = [](int address, const std::string &) {
    return std::vector<std::pair<int, std::string>>{{address, std::string(200, 'L')}};
  };
  char reply[VELDC_REPLY_SIZE + 8];
  std::memset(reply, '#', sizeof reply);
  EXPECT_EQ(SendCommand("X", reply), 0);
  EXPECT_EQ(std::strlen(reply), static_cast<size_t>(VELDC_REPLY_SIZE - 1));
  EXPECT_EQ(reply[VELDC_REPLY_SIZE], '#');
}

}  // namespace
}  // namespace veldc::test
