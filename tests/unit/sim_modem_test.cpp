// The simulated modem's AT dialogue, and the library's dial and hang-up through it.
#include <gtest/gtest.h>

#include <string>

#include "platform/virtual/virtual_platform.h"
#include "sim/direct_line.h"
#include "sim/modem.h"
#include "support/sim_links.h"
#include "veldc.h"

namespace veldc::sim {
namespace {

constexpr Micros kMs = kMillis;

class ModemTest : public ::testing::Test {
 protected:
  ModemTest() : line_(terminal_, LineTiming{20 * kMs, 2 * kMs}), modem_(line_) {}

  // Sends `bytes` at `at` and returns what the modem says up to `until`.
  std::string Say(const std::string &bytes, Micros at, Micros until) {
    modem_.FromHost(bytes, at);
    std::string out;
    modem_.ToHost(until, &out);
    return out;
  }

  Terminal terminal_;
  DirectLine line_;
  Modem modem_;
};

TEST_F(ModemTest, CommandsAreEchoedAndAnswered) {
  struct Case {
    std::string command;
    std::string output;
  };
  const Case cases[] = {
      {"ATE1Q0S7=45\r", "ATE1Q0S7=45\r\r\nOK\r\n"},
      {"AT&F\r", "AT&F\r\r\nOK\r\n"},
      {"HELLO\r", "HELLO\r\r\nERROR\r\n"},
      {"\r", "\r"},
      {"ATH0\r", "ATH0\r\r\nOK\r\n"},
  };
  Micros at = 0;
  for (const Case &c : cases) {
    EXPECT_EQ(Say(c.command, at, at + 100 * kMs), c.output) << c.command;
    at += 1000 * kMs;
  }
  EXPECT_EQ(modem_.S7(), 45);
  EXPECT_EQ(Say("ATE0\r", at, at + 100 * kMs), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(Say("ATQ1\r", at + 200 * kMs, at + 300 * kMs), "") << "no echo, no result";
  EXPECT_FALSE(modem_.Echo());
}

// The library's dial and hang-up against the modem in front of a direct line.
class ModemDialTest : public ::testing::Test {
 protected:
  ModemDialTest() : line_(terminal_), modem_(line_), link_(modem_) {
    vp_.AttachSerial(&link_);
    EXPECT_GT(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0), 0);
  }
  ~ModemDialTest() override { ExitCOMM(); }
  int Error() {
    char text[VELDC_ERROR_TEXT_SIZE];
    return GetError(text);
  }

  platform::virt::VirtualPlatform vp_;
  Terminal terminal_;
  DirectLine line_;
  Modem modem_;
  test::SerialLink link_;
};

TEST_F(ModemDialTest, DialSelectAndHangUp) {
  ASSERT_EQ(DialNumber("ATX3", "5551234", 45), 0) << Error();
  EXPECT_EQ(modem_.Commands(),
            (std::vector<std::string>{"ATE1Q0S7=45", "ATE1Q0S7=45", "ATX3", "ATD5551234"}));
  EXPECT_EQ(SetTerminal(0), 0) << Error();
  char time[VELDC_REPLY_SIZE];
  EXPECT_EQ(GetTime(time), 0) << Error();
  EXPECT_EQ(HangUp(), 0) << Error();
  EXPECT_FALSE(modem_.Connected());
}

TEST_F(ModemDialTest, RefusedCallsAndLostEcho) {
  modem_.SetDialResult(Modem::DialResult::kBusy);
  EXPECT_EQ(DialNumber(nullptr, "1", 10), -1);
  EXPECT_EQ(Error(), 83);
  // Without its echo the first line the library reads is the empty one before "OK".
  modem_.SetEchoLost(true);
  EXPECT_EQ(DialNumber(nullptr, "1", 10), -1);
  EXPECT_EQ(Error(), 85);
}

}  // namespace
}  // namespace veldc::sim
