// The clock and the configuration parameters: argument checks before any traffic, the
// commands on the wire, echo acceptance and the codes of each refusal.
#include <cstring>
#include <string>
#include <vector>

#include "support/services_terminal.h"

namespace veldc::test {
namespace {

using Clock = ServicesTest;

struct WriteCase {
  const char *text;
  bool accepted;
};

TEST_F(Clock, SetTimeChecksTheTextBeforeSending) {
  const WriteCase cases[] = {{"235959", true},  {"000000", true},   {"240000", false},
                             {"126000", false}, {"120060", false},  {"1200", false},
                             {"12:00:", false}, {"1234567", false}, {"", false}};
  Answer([](const std::string &line) { return line; });
  for (const auto &c : cases) {
    const size_t before = Heard().size();
    if (c.accepted) {
      EXPECT_EQ(SetTime(c.text), 0) << c.text;
      ASSERT_EQ(Heard().size(), before + 1);
      EXPECT_EQ(Heard().back(), std::string("TIME ") + c.text);
    } else {
      EXPECT_EQ(SetTime(c.text), -1) << c.text;
      EXPECT_EQ(ErrorState(), "3 Wrong parameters") << c.text;
      EXPECT_EQ(Heard().size(), before) << c.text;
    }
  }
}

TEST_F(Clock, SetDateChecksTheTextBeforeSending) {
  const WriteCase cases[] = {{"3000229", true},  {"3010229", true},  {"6991231", true},
                             {"0000131", true},  {"3000230", false}, {"7000101", false},
                             {"0001301", false}, {"0000100", false}, {"0000001", false},
                             {"000430A", false}, {"0000431", false}, {"300101", false}};
  Answer([](const std::string &line) { return line; });
  for (const auto &c : cases) {
    const size_t before = Heard().size();
    EXPECT_EQ(SetDate(c.text), c.accepted ? 0 : -1) << c.text;
    if (c.accepted) {
      EXPECT_EQ(Heard().back(), std::string("DATE ") + c.text);
    } else {
      EXPECT_EQ(ErrorState(), "3 Wrong parameters") << c.text;
      EXPECT_EQ(Heard().size(), before) << c.text;
    }
  }
}

TEST_F(Clock, DeviceAndSelectionAreCheckedBeforeTheText) {
  ExitCOMM();
  EXPECT_EQ(SetTime("99"), -1);
  EXPECT_EQ(ErrorState(), "2 Device not initialized");
  EXPECT_EQ(SetDate("99"), -1);
  EXPECT_EQ(ErrorState(), "2 Device not initialized");
  EXPECT_EQ(SetTime(nullptr), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(SetDate(nullptr), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  char value[VELDC_REPLY_SIZE];
  EXPECT_EQ(GetTime(nullptr), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(GetDate(value), -1);
  EXPECT_EQ(ErrorState(), "2 Device not initialized");

  Open(DEV_SERIAL_DIRECT);  // open, nothing selected
  EXPECT_EQ(SetTime("99"), -1);
  EXPECT_EQ(ErrorState(), "4 No terminal selected");
  EXPECT_EQ(SetDate("3000101"), -1);
  EXPECT_EQ(ErrorState(), "4 No terminal selected");
  EXPECT_EQ(GetTime(value), -1);
  EXPECT_EQ(ErrorState(), "4 No terminal selected");
  EXPECT_TRUE(Heard().empty());
}

struct ReadCase {
  const char *reply;
  int result;
  const char *value;  // or the error state
};

TEST_F(Clock, ReadsTakeTheReplyFromItsSixthCharacter) {
  const ReadCase timeCases[] = {{"TIME 123456", 0, "123456"},
                                {"TIME 0", 0, "0"},
                                {"xxxxxabc", 0, "abc"},
                                {"TIME", -1, "49 Time command ignored"},
                                {"TIME ", -1, "49 Time command ignored"}};
  for (const auto &c : timeCases) {
    peer.Reply(std::string(c.reply) + "\r");
    char value[VELDC_REPLY_SIZE] = "untouched";
    EXPECT_EQ(GetTime(value), c.result) << c.reply;
    EXPECT_EQ(c.result == 0 ? std::string(value) : ErrorState(), c.value) << c.reply;
    EXPECT_EQ(Heard().back(), "TIME");
  }
  const ReadCase dateCases[] = {{"DATE 3261206", 0, "3261206"},
                                {"DATE", -1, "50 Date command ignored"}};
  for (const auto &c : dateCases) {
    peer.Reply(std::string(c.reply) + "\r");
    char value[VELDC_REPLY_SIZE] = "untouched";
    EXPECT_EQ(GetDate(value), c.result) << c.reply;
    EXPECT_EQ(c.result == 0 ? std::string(value) : ErrorState(), c.value) << c.reply;
    EXPECT_EQ(Heard().back(), "DATE");
  }
}

TEST_F(Clock, WritesNeedTheExactEcho) {
  peer.Reply("time 120000\r");
  EXPECT_EQ(SetTime("120000"), -1);
  EXPECT_EQ(ErrorState(), "49 Time command ignored");
  peer.Reply("DATE 3000101 \r");
  EXPECT_EQ(SetDate("3000101"), -1);
  EXPECT_EQ(ErrorState(), "50 Date command ignored");
  peer.Reply("DATE 3000101\r");
  EXPECT_EQ(SetDate("3000101"), 0);
  EXPECT_EQ(ErrorState(), "0 None");
  EXPECT_EQ(vp.Written(), "TIME 120000\rDATE 3000101\rDATE 3000101\r");
}

TEST_F(Clock, AFailedExchangeKeepsItsCode) {
  char value[VELDC_REPLY_SIZE];
  EXPECT_EQ(GetTime(value), -1);  // silence
  EXPECT_EQ(ErrorState(), "40 No reply from terminal");
  peer.Reply("TIME 12");  // no CR
  EXPECT_EQ(SetTime("120000"), -1);
  EXPECT_EQ(ErrorState(), "35 Bad RS232 end of record");
}

using Params = ServicesTest;

TEST_F(Params, SingleParameterCommandsAndReplies) {
  Answer([](const std::string &line) { return line; });
  EXPECT_EQ(SetParameter(5, nullptr), 0) << ErrorState();
  EXPECT_EQ(Heard().back(), "CFG 05 ");
  const std::string longest(32, 'v');
  EXPECT_EQ(SetParameter(99, longest.c_str()), 0);
  EXPECT_EQ(Heard().back(), "CFG 99 " + longest);
  EXPECT_EQ(SetParameter(0, "abc"), 0);
  EXPECT_EQ(Heard().back(), "CFG 00 abc");

  const ReadCase reads[] = {{"CFG 07 ", 0, ""},
                            {"CFG 07 x", 0, "x"},
                            {"CFG 07 hello world", 0, "hello world"},
                            {"", 0, ""},
                            {"OK", 0, ""}};
  for (const auto &c : reads) {
    peer.Reply(std::string(c.reply) + "\r");
    char value[VELDC_REPLY_SIZE] = "untouched";
    EXPECT_EQ(GetParameter(7, value), 0) << c.reply;
    EXPECT_STREQ(value, c.value);
    EXPECT_EQ(Heard().back(), "CFG 07");
  }
}

TEST_F(Params, SingleParameterRefusals) {
  const size_t before = Heard().size();
  char value[VELDC_REPLY_SIZE];
  EXPECT_EQ(GetParameter(100, value), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(GetParameter(-1, value), -1);
  EXPECT_EQ(SetParameter(100, "x"), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(SetParameter(5, std::string(33, 'v').c_str()), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(Heard().size(), before);

  peer.Reply("CFG 05 Y\r");
  EXPECT_EQ(SetParameter(5, "y"), -1);
  EXPECT_EQ(ErrorState(), "51 Configuration command ignored");
  EXPECT_EQ(GetParameter(5, value), -1);  // silence
  EXPECT_EQ(ErrorState(), "40 No reply from terminal");

  // The value's length and a null buffer are judged before the device.
  ExitCOMM();
  EXPECT_EQ(SetParameter(5, std::string(33, 'v').c_str()), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(GetParameter(0, nullptr), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(SetParameter(5, std::string(32, 'v').c_str()), -1);
  EXPECT_EQ(ErrorState(), "2 Device not initialized");
}

struct Block {
  int selection[VELDC_PARAM_COUNT] = {};
  char values[VELDC_PARAM_COUNT * VELDC_PARAM_SLOT];
  Block() { std::memset(values, '#', sizeof values); }
  char *Slot(int i) { return values + i * VELDC_PARAM_SLOT; }
};

TEST_F(Params, BlockReadKeepsEveryValueInItsSlot) {
  Answer([](const std::string &line) {
    const std::string n = line.substr(4, 2);
    if (n == "10") return std::string("CFG 10 ") + std::string(40, 'L');  // too long for a slot
    return "CFG " + n + " v" + n;
  });
  Block b;
  b.selection[3] = b.selection[10] = b.selection[11] = b.selection[99] = 1;
  EXPECT_EQ(GetAllParams(b.selection, b.values), 0) << ErrorState();
  EXPECT_EQ(Heard(), (std::vector<std::string>{"CFG 03", "CFG 10", "CFG 11", "CFG 99"}));
  EXPECT_STREQ(b.Slot(3), "v03");
  EXPECT_EQ(std::string(b.Slot(10), 17), std::string(16, 'L') + '\0');
  EXPECT_STREQ(b.Slot(11), "v11");
  EXPECT_STREQ(b.Slot(99), "v99");
  // Slots of parameters not selected are not written.
  EXPECT_EQ(std::string(b.Slot(0), 17), std::string(17, '#'));
  EXPECT_EQ(b.Slot(3)[4], '#');
}

TEST_F(Params, BlockReadFailureReturnsTheParameterAndWritesNothing) {
  Answer([](const std::string &line) -> std::optional<std::string> {
    if (line == "CFG 40" || line == "CFG 99") return std::nullopt;
    return "CFG " + line.substr(4, 2) + " ok";
  });
  Block b;
  b.selection[1] = b.selection[2] = b.selection[40] = b.selection[41] = 1;
  EXPECT_EQ(GetAllParams(b.selection, b.values), 40 - 100);
  EXPECT_EQ(ErrorState(), "40 No reply from terminal");
  EXPECT_EQ(std::string(b.values, sizeof b.values), std::string(sizeof b.values, '#'));
  EXPECT_EQ(Heard().size(), 3u);

  Block only99;
  only99.selection[99] = 1;
  const size_t before = Heard().size();
  EXPECT_EQ(GetAllParams(only99.selection, only99.values), -1);  // 99 - 100
  EXPECT_EQ(ErrorState(), "40 No reply from terminal");
  EXPECT_EQ(Heard().size(), before + 1);
  EXPECT_EQ(Heard().back(), "CFG 99");
}

TEST_F(Params, BlockWriteStopsAtTheFirstRefusal) {
  Answer([](const std::string &line) { return line.rfind("CFG 20", 0) == 0 ? "no" : line; });
  Block b;
  b.selection[2] = b.selection[7] = b.selection[20] = b.selection[30] = 1;
  std::strcpy(b.Slot(2), "two");
  std::strcpy(b.Slot(7), "");
  std::strcpy(b.Slot(20), "twenty");
  std::strcpy(b.Slot(30), "thirty");
  EXPECT_EQ(SetAllParams(b.selection, b.values), 20 - 100);
  EXPECT_EQ(ErrorState(), "51 Configuration command ignored");
  EXPECT_EQ(Heard(), (std::vector<std::string>{"CFG 02 two", "CFG 07 ", "CFG 20 twenty"}));
}

TEST_F(Params, BlockWriteChecksEachValueLength) {
  Answer([](const std::string &line) { return line; });
  Block b;
  b.selection[0] = b.selection[1] = 1;
  // Slot 0 holds 32 characters running into slot 1: allowed. Slot 1 then has 15 + NUL.
  std::memcpy(b.Slot(0), std::string(32, 'a').c_str(), 33);
  EXPECT_EQ(SetAllParams(b.selection, b.values), 0) << ErrorState();
  EXPECT_EQ(Heard()[0], "CFG 00 " + std::string(32, 'a'));
  EXPECT_EQ(Heard()[1], "CFG 01 " + std::string(15, 'a'));

  Block tooLong;
  tooLong.selection[5] = 1;
  tooLong.selection[6] = 1;
  std::memcpy(tooLong.Slot(5), std::string(33, 'b').c_str(), 34);
  const size_t before = Heard().size();
  EXPECT_EQ(SetAllParams(tooLong.selection, tooLong.values), 5 - 100);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(Heard().size(), before);

  // The last slot's text must end inside the host's block.
  Block unterminated;
  unterminated.selection[99] = 1;
  EXPECT_EQ(SetAllParams(unterminated.selection, unterminated.values), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(Heard().size(), before);
}

TEST_F(Params, BlockCallsWithoutWork) {
  Block b;
  EXPECT_EQ(GetAllParams(b.selection, b.values), 0);
  EXPECT_EQ(SetAllParams(b.selection, b.values), 0);
  EXPECT_EQ(GetAllParams(nullptr, b.values), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_EQ(SetAllParams(b.selection, nullptr), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  EXPECT_TRUE(Heard().empty());

  // Device and selection are checked per parameter and reported with its number.
  ExitCOMM();
  b.selection[12] = 1;
  std::strcpy(b.Slot(12), "x");
  EXPECT_EQ(GetAllParams(b.selection, b.values), 12 - 100);
  EXPECT_EQ(ErrorState(), "2 Device not initialized");
  Open(DEV_SERIAL_DIRECT);
  EXPECT_EQ(SetAllParams(b.selection, b.values), 12 - 100);
  EXPECT_EQ(ErrorState(), "4 No terminal selected");
}

}  // namespace
}  // namespace veldc::test
