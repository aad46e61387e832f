// The simulated serial lines: framing, addressing, timing and byte-level faults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/direct_line.h"
#include "sim/network_interface.h"

namespace veldc::sim {
namespace {

const std::string kEot = "\x04";

constexpr Micros kMs = kMillis;
const LineTiming kTiming{20 * kMs, 2 * kMs};

std::string Pull(ByteLine &line, Micros now) {
  std::string out;
  line.ToHost(now, &out);
  return out;
}

TEST(DirectLineTest, RepliesComeAfterTheDelayEachEndedByCarriageReturn) {
  Terminal terminal;
  terminal.PutFile('C', "DATA", {"AB"});
  DirectLine line(terminal, kTiming);
  line.FromHost("TYPE DATA\r", 100 * kMs);
  EXPECT_EQ(line.NextDue(), 120 * kMs);
  EXPECT_EQ(Pull(line, 119 * kMs), "");
  EXPECT_EQ(Pull(line, 120 * kMs), "TYPE DATA\r");
  EXPECT_EQ(Pull(line, 122 * kMs), "AB\r");
  EXPECT_EQ(Pull(line, 200 * kMs), kEot + "1 RECS 131\r");
  EXPECT_EQ(line.NextDue(), ByteLine::kNever);
  EXPECT_EQ(terminal.Commands(), std::vector<std::string>{"TYPE DATA"});
}

TEST(DirectLineTest, EotInterruptsAReplyStillBeingSent) {
  Terminal terminal;
  terminal.PutFile('C', "DATA", {"1", "2", "3"});
  DirectLine line(terminal, kTiming);
  line.FromHost("TYPE DATA\r", 0);
  EXPECT_EQ(Pull(line, 22 * kMs), "TYPE DATA\r1\r");
  line.FromHost("\x04\r", 22 * kMs);
  EXPECT_EQ(Pull(line, kMs * 1000), "\x04*\r");
}

TEST(DirectLineTest, ByteLevelFaults) {
  struct Case {
    const char *name;
    TerminalFaults faults;
    Micros at;  // when the reply is pulled
    std::string bytes;
  };
  TerminalFaults garbage, delay, unended, silent;
  garbage.garbage = "\xff\xfe";
  delay.replyDelay = 500 * kMs;
  unended.unendedLine = true;
  silent.silent = true;
  const std::vector<Case> cases = {
      {"garbage in front", garbage, 20 * kMs, "\xff\xfeTIME 120000\r"},
      {"delay: nothing yet", delay, 519 * kMs, ""},
      {"delay: then the reply", delay, 520 * kMs, "TIME 120000\r"},
      {"a line that never ends", unended, 10000 * kMs, "TIME 120000"},
      {"silence", silent, 10000 * kMs, ""},
  };
  for (const Case &c : cases) {
    Terminal terminal;
    terminal.Faults() = c.faults;
    DirectLine line(terminal, kTiming);
    line.FromHost("TIME\r", 0);
    EXPECT_EQ(Pull(line, c.at), c.bytes) << c.name;
  }
}

class NetworkTest : public ::testing::Test {
 protected:
  NetworkTest() : five_("Veld", 5), twelve_("Qyr", 12), net_({&five_, &twelve_}, kTiming) {}

  std::string Say(const std::string &bytes) {
    now_ += 1000 * kMs;
    net_.FromHost(bytes, now_);
    return Pull(net_, now_ + 1000 * kMs);
  }

  Terminal five_, twelve_;
  NetworkInterface net_;
  Micros now_ = 0;
};

TEST_F(NetworkTest, SetUpCommandsHaveNoAnswerAndSelectionRoutesFrames) {
  EXPECT_EQ(Say("&\r*0\r@011\r>b\r>PS255\r"), "");
  EXPECT_EQ(net_.Selected(), 255);
  EXPECT_EQ(Say("\x11>PS012\r"), "") << "XON is ignored";
  EXPECT_EQ(net_.Selected(), 12);
  EXPECT_EQ(Say("012CFG 89\r"), "012CFG 89 80264\r");
  EXPECT_EQ(Say("005TIME\r"), "005~S\r") << "terminal 5 is not the one selected";
  EXPECT_EQ(Say(">PS005\r"), "");
  EXPECT_EQ(Say("005%XI\r"), "005Veld V2.10 RAM F\r");
  EXPECT_EQ(Say(">PS009\r009TIME\r"), "009~R\r") << "nobody at 9";
  EXPECT_EQ(Say(">P0\r005TIME\r"), "005~S\r");
  EXPECT_EQ(net_.SetupCommands(), (std::vector<std::string>{"&", "*0", "@011", ">b", ">PS255",
                                                            ">PS012", ">PS005", ">PS009", ">P0"}));
  EXPECT_EQ(twelve_.Commands(), std::vector<std::string>{"CFG 89"});
}

}  // namespace
}  // namespace veldc::sim
