// The simulated serial lines: framing, addressing, timing and byte-level faults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/direct_line.h"
#include "sim/logon_line.h"
#include "sim/network_interface.h"

namespace veldc::sim {
namespace {

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
  EXPECT_EQ(Pull(line, 200 * kMs),
            "\x04"
            "1 RECS 131\r");
  EXPECT_EQ(line.NextDue(), ByteLine::kNever);
  EXPECT_EQ(terminal.Commands(), std::vector<std::string>{"TYPE DATA"});
}

TEST(DirectLineTest, CommandsSplitAcrossWritesAndLeadingLineFeeds) {
  Terminal terminal;
  DirectLine line(terminal, kTiming);
  line.SetLeadingLineFeed(true);
  line.FromHost("TI", 0);
  line.FromHost("ME\r\nCFG 89\r", 0);
  EXPECT_EQ(Pull(line, kMs * 100), "\nTIME 120000\r\nCFG 89 80264\r");
  EXPECT_EQ(terminal.Commands(), (std::vector<std::string>{"TIME", "CFG 89"}));
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

TEST(DirectLineTest, UnsolicitedMessagesFollowPendingOutput) {
  Terminal terminal;
  DirectLine line(terminal, kTiming);
  terminal.QueueMessage("BADGE 7", 30 * kMs);
  EXPECT_EQ(line.NextDue(), 30 * kMs);
  EXPECT_EQ(Pull(line, 29 * kMs), "");
  EXPECT_EQ(Pull(line, 30 * kMs), "BADGE 7\r");
}

class LogonLineTest : public ::testing::Test {
 protected:
  LogonLineTest() : own_("Dulm", 0), seven_("Veld", 7), line_({&own_, &seven_}, kTiming) {}

  std::string Say(const std::string &command) {
    now_ += 1000 * kMs;
    line_.FromHost(command + "\r", now_);
    return Pull(line_, now_ + 1000 * kMs);
  }

  Terminal own_, seven_;
  LogonLine line_;
  Micros now_ = 0;
};

TEST_F(LogonLineTest, LogOnAndOffRouteCommands) {
  EXPECT_EQ(Say("LOGOFF"), "LOGOFF ??\r") << "nobody logged on yet";
  EXPECT_EQ(Say("%XI"), "Dulm V2.10 RAM F\r") << "the line's own terminal answers";
  EXPECT_EQ(Say("LOGON 007"), "LOGON 007\r");
  EXPECT_EQ(line_.LoggedOn(), 7);
  EXPECT_EQ(Say("%XI"), "Veld V2.10 RAM F\r");
  EXPECT_EQ(Say("LOGOFF"), "LOGOFF\r");
  EXPECT_EQ(line_.LoggedOn(), 0);
  EXPECT_EQ(Say("LOGON 008"), "LOGON ??\r") << "no terminal 8";
  EXPECT_EQ(Say("LOGON 032"), "LOGON ??\r");
  EXPECT_EQ(Say("LOGON 7"), "??\r") << "not the LOGON command: the own terminal refuses it";
  line_.SetRefuseLogon(true);
  EXPECT_EQ(Say("LOGON 007"), "LOGON ??\r");
  EXPECT_EQ(seven_.Commands(), std::vector<std::string>{"%XI"});
}

TEST_F(LogonLineTest, OnlyTheTerminalHoldingTheLineSpeaks) {
  seven_.QueueMessage("FROM 7");
  own_.QueueMessage("FROM 0");
  EXPECT_EQ(Pull(line_, 0), "FROM 0\r");
  EXPECT_EQ(Say("LOGON 007"), "LOGON 007\rFROM 7\r");
}

TEST(LogonLineNobodyTest, NoTerminalAtTheAddressIsSilence) {
  Terminal seven("Veld", 7);
  LogonLine line({&seven}, kTiming);
  line.FromHost("%XI\r", 0);
  EXPECT_EQ(Pull(line, 1000 * kMs), "");
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

TEST_F(NetworkTest, MultiLineRepliesAndFaults) {
  five_.PutFile('C', "DATA", {"AB", "CD"});
  Say(">PS005\r");
  EXPECT_EQ(Say("005TYPE DATA\r"),
            "005TYPE DATA\r005AB\r005CD\r005\x04"
            "2 RECS 266\r");
  five_.Faults().replyAddress = 7;
  EXPECT_EQ(Say("005CFG 89\r"), "007CFG 89 80264\r");
  five_.Faults().replyAddress = -1;
  net_.SetFailure(NetworkInterface::Failure::kSend);
  EXPECT_EQ(Say("005TIME\r"), "005~S\r");
  net_.SetFailure(NetworkInterface::Failure::kReceive);
  EXPECT_EQ(Say("005TIME\r"), "005~R\r");
  net_.SetFailure(NetworkInterface::Failure::kNone);
  five_.Faults().silent = true;
  EXPECT_EQ(Say("005TIME\r"), "");
}

TEST_F(NetworkTest, UnsolicitedMessagesCarryTheSendersAddress) {
  twelve_.QueueMessage("BADGE 9", 50 * kMs);
  EXPECT_EQ(net_.NextDue(), 50 * kMs);
  EXPECT_EQ(Pull(net_, 50 * kMs), "012BADGE 9\r");
}

}  // namespace
}  // namespace veldc::sim
