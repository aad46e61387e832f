// The simulated terminal's answers, line by line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/terminal.h"

namespace veldc::sim {
namespace {

using Lines = std::vector<std::string>;
constexpr Micros kSecond = 1000000;

struct Case {
  const char *name;
  std::string command;
  Lines reply;
};

class TerminalTest : public ::testing::Test {
 protected:
  TerminalTest() : terminal_("Veld", 0, 'P') {
    terminal_.SetClock("235958", "3991231", 0);
    terminal_.SetParameter(7, "BADGE 42");
    terminal_.PutFile('C', "DATA", {"AB", "CD"});
    terminal_.PutFile('C', "LONGNAME", {"x"});
    terminal_.PutFile('A', "OTHER", {});
  }
  Terminal terminal_;
};

TEST_F(TerminalTest, AnswersEachCommandOfTheHost) {
  const std::vector<Case> cases = {
      {"identification ends with the RAM card", "%XI", {"Veld V2.10 RAM P"}},
      {"reset", "%%", {"!!! RESET"}},
      {"EOT outside a transfer", "\x04", {"\x04*"}},
      {"empty command gives the prompt", "", {"Veld>"}},
      {"time", "TIME", {"TIME 235958"}},
      {"date", "DATE", {"DATE 3991231"}},
      {"set time is echoed", "TIME 101010", {"TIME 101010"}},
      {"bad time refused", "TIME 240000", {"??"}},
      {"set date is echoed", "DATE 3000229", {"DATE 3000229"}},
      {"bad date refused", "DATE 3000230", {"??"}},
      {"short date refused", "DATE 1", {"??"}},
      {"short time refused", "TIME 1", {"??"}},
      {"parameter value from the 8th character", "CFG 07", {"CFG 07 BADGE 42"}},
      {"empty parameter", "CFG 08", {"CFG 08 "}},
      {"password parameter", "CFG 89", {"CFG 89 80264"}},
      {"parameter write echoed", "CFG 05 abc", {"CFG 05 abc"}},
      {"empty parameter write echoed", "CFG 05 ", {"CFG 05 "}},
      {"parameter number must be two digits", "CFG 5", {"??"}},
      {"drive change echoed", "CD A", {"CD A"}},
      {"unknown drive refused", "CD D", {"??"}},
      {"listing",
       "DIR",
       {"DIR C:", "DATA     8", "LONGNAME 3",
        "\x04"
        "2"}},
      {"listing of one name",
       "DIR DATA",
       {"DIR DATA", "DATA     8",
        "\x04"
        "1"}},
      {"listing of a missing name",
       "DIR NONE",
       {"DIR NONE",
        "\x04"
        "0"}},
      {"eight characters answer in the reply", "DIR DATA    ", {"DIR DATA     8"}},
      {"type with count and checksum",
       "TYPE DATA",
       {"TYPE DATA", "AB", "CD",
        "\x04"
        "2 RECS 266"}},
      {"type of a missing file", "TYPE NONE", {"??"}},
      {"delete echoed", "DEL DATA", {"DEL DATA"}},
      {"delete of a missing file", "DEL NONE", {"??"}},
      {"echo probe on a plain line", "QRX", {"??"}},
      {"password when not locked", "PW 80264", {"PW 80264"}},
      {"unknown command", "HELLO", {"??"}},
  };
  for (const Case &c : cases) {
    Terminal terminal = terminal_;
    EXPECT_EQ(terminal.Handle(c.command, 0), c.reply) << c.name;
  }
}

TEST_F(TerminalTest, ClockRunsAndRollsOverTheCalendar) {
  EXPECT_EQ(terminal_.Time(3 * kSecond), "000001");
  EXPECT_EQ(terminal_.Date(3 * kSecond), "4000101");
  terminal_.Handle("DATE 1260228", 10 * kSecond);
  EXPECT_EQ(terminal_.Date(10 * kSecond + 86400 * kSecond), "2260301");
  terminal_.Handle("DATE 1240228", 10 * kSecond);
  EXPECT_EQ(terminal_.Date(10 * kSecond + 86400 * kSecond), "2240229");
}

TEST_F(TerminalTest, TypeChecksumUsesSignedBytesAndKeepsTheSign) {
  // Each 0xFF counts -1; 300 of them sum to -300.
  terminal_.PutFile('C', "HIGH", {std::string(150, '\xff'), std::string(150, '\xff')});
  Lines reply = terminal_.Handle("TYPE HIGH", 0);
  ASSERT_EQ(reply.size(), 4u);
  EXPECT_EQ(reply.back(),
            "\x04"
            "2 RECS -300");
  // 400 records of 100 'z' (122) sum to 4880000, which is 30336 modulo 32768.
  terminal_.PutFile('C', "BIG", std::vector<std::string>(400, std::string(100, 'z')));
  EXPECT_EQ(terminal_.Handle("TYPE BIG", 0).back(),
            "\x04"
            "400 RECS 30336");
}

TEST_F(TerminalTest, SorvikListsRecordsAndNeverAnswersInTheReply) {
  Terminal sorvik("Sorvik");
  sorvik.PutFile('C', "DATA", {"AB", "CD", "EF"});
  EXPECT_EQ(sorvik.Handle("DIR DATA    ", 0), (Lines{"DIR DATA    ", "DATA     3",
                                                     "\x04"
                                                     "1"}));
}

TEST_F(TerminalTest, LoadStoresRecordsAndAnswersTheCount) {
  struct LoadCase {
    std::string command;
    bool protect;
    int option;
  };
  for (const LoadCase &c :
       {LoadCase{"LOAD NEW", false, 0}, LoadCase{"LOAD NEW P", true, 0},
        LoadCase{"LOAD NEW 12", false, 12}, LoadCase{"LOAD NEW P12", true, 12}}) {
    Terminal t = terminal_;
    EXPECT_EQ(t.Handle(c.command, 0), Lines{c.command});
    EXPECT_TRUE(t.Loading());
    EXPECT_EQ(t.Handle("one", 0), Lines{"one"});
    EXPECT_EQ(t.Handle("", 0), Lines{""});
    EXPECT_EQ(t.Handle("TIME", 0), Lines{"TIME"}) << "a record, not a command, during a load";
    EXPECT_EQ(t.Handle("\x04", 0), Lines{"3"});
    EXPECT_FALSE(t.Loading());
    const TerminalFile &file = t.Files('C').at("NEW");
    EXPECT_EQ(file.records, (Lines{"one", "", "TIME"}));
    EXPECT_EQ(file.protect, c.protect) << c.command;
    EXPECT_EQ(file.option, c.option) << c.command;
  }
  for (const char *bad : {"LOAD", "LOAD NINECHARS", "LOAD X Q", "LOAD X P1234"}) {
    Terminal t = terminal_;
    EXPECT_EQ(t.Handle(bad, 0), Lines{"??"}) << bad;
    EXPECT_FALSE(t.Loading()) << bad;
  }
}

TEST_F(TerminalTest, ProgramLoadAndItsAbort) {
  EXPECT_EQ(terminal_.Handle("LOADP PROGRAM", 0), Lines{"LOADP PROGRAM"});
  terminal_.Handle("10 PRINT", 0);
  EXPECT_EQ(terminal_.Handle("\x04", 0), Lines{"1"});
  EXPECT_EQ(terminal_.Program(), Lines{"10 PRINT"});
  EXPECT_EQ(terminal_.ProgramLoads(), 1);

  terminal_.Handle("LOADP PROGRAM", 0);
  terminal_.Handle("20 GOTO", 0);
  EXPECT_EQ(terminal_.Handle("STOP DOWNLOADING", 0), Lines{"STOP DOWNLOADING"});
  EXPECT_EQ(terminal_.Handle("\x04", 0), Lines{"\x04*"});
  EXPECT_EQ(terminal_.Program(), Lines{"10 PRINT"}) << "a stopped load keeps the old program";
}

TEST_F(TerminalTest, LockedTerminalWantsThePassword) {
  terminal_.SetPassword("12345");
  terminal_.SetLocked(true);
  for (const char *command : {"%XI", "\x04", "%%", "CFG 89", "", "PW 80264"}) {
    EXPECT_EQ(terminal_.Handle(command, 0), Lines{".."}) << command;
  }
  EXPECT_TRUE(terminal_.Locked());
  EXPECT_EQ(terminal_.Handle("PW 12345", 0), Lines{"PW 12345"});
  EXPECT_FALSE(terminal_.Locked());
  EXPECT_EQ(terminal_.Handle("CFG 89", 0), Lines{"CFG 89 12345"});
}

TEST_F(TerminalTest, EchoLineRepeatsEveryCommandFirst) {
  terminal_.SetEchoLine(true);
  EXPECT_EQ(terminal_.Handle("QRX", 0), (Lines{"QRX", "??"}));
  EXPECT_EQ(terminal_.Handle("TIME", 0), (Lines{"TIME", "TIME 235958"}));
}

TEST_F(TerminalTest, FaultsChangeTheAnswers) {
  struct FaultCase {
    const char *name;
    void (*set)(TerminalFaults &);
    std::string command;
    Lines reply;
  };
  const std::vector<FaultCase> cases = {
      {"silence", [](TerminalFaults &f) { f.silent = true; }, "TIME", {}},
      {"refused echo", [](TerminalFaults &f) { f.refusedWords = {"CFG"}; }, "CFG 05 x", {"??"}},
      {"refused EOT", [](TerminalFaults &f) { f.refusedWords = {"EOT"}; }, "\x04", {"??"}},
      {"wrong count in a listing",
       [](TerminalFaults &f) { f.countOffset = 1; },
       "DIR DATA",
       {"DIR DATA", "DATA     8",
        "\x04"
        "2"}},
      {"wrong count in a type",
       [](TerminalFaults &f) { f.countOffset = -1; },
       "TYPE DATA",
       {"TYPE DATA", "AB", "CD",
        "\x04"
        "1 RECS 266"}},
      {"wrong checksum",
       [](TerminalFaults &f) { f.checksumOffset = 1; },
       "TYPE DATA",
       {"TYPE DATA", "AB", "CD",
        "\x04"
        "2 RECS 267"}},
      {"type cut off",
       [](TerminalFaults &f) { f.cutAfterLines = 1; },
       "TYPE DATA",
       {"TYPE DATA", "AB"}},
      {"listing cut off", [](TerminalFaults &f) { f.cutAfterLines = 0; }, "DIR", {"DIR C:"}},
      {"cut beyond the end changes nothing",
       [](TerminalFaults &f) { f.cutAfterLines = 2; },
       "TYPE DATA",
       {"TYPE DATA", "AB", "CD",
        "\x04"
        "2 RECS 266"}},
  };
  for (const FaultCase &c : cases) {
    Terminal t = terminal_;
    c.set(t.Faults());
    EXPECT_EQ(t.Handle(c.command, 0), c.reply) << c.name;
  }
  TerminalFaults refused;
  refused.refusedWords = {"CFG"};
  terminal_.Faults() = refused;
  terminal_.Handle("CFG 05 x", 0);
  EXPECT_EQ(terminal_.Parameter(5), "") << "a refused command is not carried out";
}

TEST_F(TerminalTest, LoadFaults) {
  Terminal t = terminal_;
  t.Faults().refusedWords = {"RECORD"};
  t.Handle("LOAD NEW", 0);
  EXPECT_EQ(t.Handle("one", 0), Lines{"??"});
  EXPECT_EQ(t.Handle("\x04", 0), Lines{"0"});

  Terminal cut = terminal_;
  cut.Faults().cutAfterLines = 1;
  cut.Faults().countOffset = 5;
  cut.Handle("LOAD NEW", 0);
  EXPECT_EQ(cut.Handle("one", 0), Lines{"one"});
  EXPECT_EQ(cut.Handle("two", 0), Lines{}) << "records after the cut get no answer";
  EXPECT_EQ(cut.Handle("\x04", 0), Lines{"6"});
  EXPECT_EQ(cut.Files('C').at("NEW").records, Lines{"one"});
}

TEST_F(TerminalTest, MessagesComeWhenDue) {
  terminal_.QueueMessage("BADGE 1", 5);
  terminal_.QueueMessage("BADGE 2", 9);
  std::string text;
  EXPECT_EQ(terminal_.NextMessageDue(), 5u);
  EXPECT_FALSE(terminal_.TakeMessage(4, &text));
  ASSERT_TRUE(terminal_.TakeMessage(9, &text));
  EXPECT_EQ(text, "BADGE 1");
  ASSERT_TRUE(terminal_.TakeMessage(9, &text));
  EXPECT_EQ(text, "BADGE 2");
  EXPECT_FALSE(terminal_.TakeMessage(100, &text));
}

}  // namespace
}  // namespace veldc::sim
