// The clock and the configuration parameters: argument checks before any traffic, the
// commands on the wire, echo acceptance and the codes of each refusal.
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/fixture.h"

namespace veldc::test {
namespace {

using Clock = ServicesTest;

TEST_F(Clock, WritesCheckTheTextBeforeSending) {
  const struct {
    decltype(&SetTime) call;
    const char *text;
    bool accepted;
  } cases[] = {
      {SetTime, "235959", true},   {SetTime, "000000", true},   {SetTime, "240000", false},
      {SetTime, "126000", false},  {SetTime, "120060", false},  {SetTime, "1200", false},
      {SetTime, "12:00:", false},  {SetTime, "1234567", false}, {SetTime, "", false},
      {SetDate, "3000229", true},  {SetDate, "3010229", true},  {SetDate, "6991231", true},
      {SetDate, "0000131", true},  {SetDate, "3000230", false}, {SetDate, "7000101", false},
      {SetDate, "0001301", false}, {SetDate, "0000100", false}, {SetDate, "0000001", false},
      {SetDate, "000430A", false}, {SetDate, "0000431", false}, {SetDate, "300101", false},
  };
  Answer([](const std::string &line) { return line; });
  for (const auto &c : cases) {
    const size_t before = Heard().size();
    if (c.accepted) {
      EXPECT_EQ(Outcome(c.call(c.text)), "0 0 None") << c.text;
      ASSERT_EQ(Heard().size(), before + 1);
      EXPECT_EQ(Heard().back(), (c.call == SetTime ? "TIME " : "DATE ") + std::string(c.text));
    } else {
      EXPECT_EQ(Outcome(c.call(c.text)), "-1 3 Wrong parameters") << c.text;
      EXPECT_EQ(Heard().size(), before) << c.text;
    }
  }
}

TEST_F(Clock, DeviceAndSelectionAreCheckedBeforeTheText) {
  ExitCOMM();
  EXPECT_EQ(Outcome(SetTime("99")), "-1 2 Device not initialized");
  EXPECT_EQ(Outcome(SetDate("99")), "-1 2 Device not initialized");
  EXPECT_EQ(Outcome(SetTime(nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(SetDate(nullptr)), "-1 3 Wrong parameters");
  char value[VELDC_REPLY_SIZE];
  EXPECT_EQ(Outcome(GetTime(nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(GetDate(value)), "-1 2 Device not initialized");

  Open(DEV_SERIAL_DIRECT);  // open, nothing selected
  EXPECT_EQ(Outcome(SetTime("99")), "-1 4 No terminal selected");
  EXPECT_EQ(Outcome(SetDate("3000101")), "-1 4 No terminal selected");
  EXPECT_EQ(Outcome(GetTime(value)), "-1 4 No terminal selected");
  EXPECT_TRUE(Heard().empty());
}

TEST_F(Clock, ReadsTakeTheReplyFromItsSixthCharacter) {
  const struct {
    decltype(&GetTime) call;
    const char *reply;
    const char *outcome;  // the value read, or the error state
  } cases[] = {
      {GetTime, "TIME 123456\r", "123456"},
      {GetTime, "TIME 0\r", "0"},
      {GetTime, "xxxxxabc\r", "abc"},
      {GetTime, "TIME\r", "-1 49 Time command ignored"},
      {GetTime, "TIME \r", "-1 49 Time command ignored"},
      {GetTime, "", "-1 40 No reply from terminal"},
      {GetDate, "DATE 3261206\r", "3261206"},
      {GetDate, "DATE\r", "-1 50 Date command ignored"},
      {GetDate, "DATE 12", "-1 35 Bad RS232 end of record"},
  };
  for (const auto &c : cases) {
    peer.Reply(c.reply);
    char value[VELDC_REPLY_SIZE] = "untouched";
    const std::string outcome = Outcome(c.call(value));
    EXPECT_EQ(outcome == "0 0 None" ? std::string(value) : outcome, c.outcome) << c.reply;
    EXPECT_EQ(Heard().back(), c.call == GetTime ? "TIME" : "DATE");
  }
}

TEST_F(Clock, WritesNeedTheExactEcho) {
  peer.Reply("time 120000\r");
  EXPECT_EQ(Outcome(SetTime("120000")), "-1 49 Time command ignored");
  peer.Reply("DATE 3000101 \r");
  EXPECT_EQ(Outcome(SetDate("3000101")), "-1 50 Date command ignored");
  peer.Reply("DATE 3000101\r");
  EXPECT_EQ(Outcome(SetDate("3000101")), "0 0 None");
  peer.Reply("TIME 12");  // no CR
  EXPECT_EQ(Outcome(SetTime("120000")), "-1 35 Bad RS232 end of record");
  EXPECT_EQ(vp.Written(), "TIME 120000\rDATE 3000101\rDATE 3000101\rTIME 120000\r");
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

  const std::pair<const char *, const char *> reads[] = {{"CFG 07 ", ""},
                                                         {"CFG 07 x", "x"},
                                                         {"CFG 07 hello world", "hello world"},
                                                         {"", ""},
                                                         {"OK", ""}};
  for (const auto &c : reads) {
    peer.Reply(std::string(c.first) + "\r");
    char value[VELDC_REPLY_SIZE] = "untouched";
    EXPECT_EQ(Outcome(GetParameter(7, value)), "0 0 None") << c.first;
    EXPECT_STREQ(value, c.second);
    EXPECT_EQ(Heard().back(), "CFG 07");
  }
}

TEST_F(Params, SingleParameterRefusals) {
  const size_t before = Heard().size();
  char value[VELDC_REPLY_SIZE];
  EXPECT_EQ(Outcome(GetParameter(100, value)), "-1 3 Wrong parameters");
  EXPECT_EQ(GetParameter(-1, value), -1);
  EXPECT_EQ(Outcome(SetParameter(100, "x")), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(SetParameter(5, std::string(33, 'v').c_str())), "-1 3 Wrong parameters");
  EXPECT_EQ(Heard().size(), before);

  peer.Reply("CFG 05 Y\r");
  EXPECT_EQ(Outcome(SetParameter(5, "y")), "-1 51 Configuration command ignored");
  EXPECT_EQ(Outcome(GetParameter(5, value)), "-1 40 No reply from terminal");  // silence

  // The value's length and a null buffer are judged before the device.
  ExitCOMM();
  EXPECT_EQ(Outcome(SetParameter(5, std::string(33, 'v').c_str())), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(GetParameter(0, nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(SetParameter(5, std::string(32, 'v').c_str())), "-1 2 Device not initialized");
}

// The selection and value slots of the block calls; unused slots hold '#'.
struct Block {
  int selection[VELDC_PARAM_COUNT] = {};
  char values[VELDC_PARAM_COUNT * VELDC_PARAM_SLOT];
  explicit Block(std::initializer_list<int> selected = {}) {
    std::memset(values, '#', sizeof values);
    for (int i : selected) selection[i] = 1;
  }
  char *Slot(int i) { return values + i * VELDC_PARAM_SLOT; }
};

TEST_F(Params, BlockReadKeepsEveryValueInItsSlot) {
  Answer([](const std::string &line) {
    const std::string n = line.substr(4, 2);
    if (n == "10") return std::string("CFG 10 ") + std::string(40, 'L');  // too long for a slot
    return "CFG " + n + " v" + n;
  });
  Block b{3, 10, 11, 99};
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
  Block b{1, 2, 40, 41};
  EXPECT_EQ(Outcome(GetAllParams(b.selection, b.values)), "-60 40 No reply from terminal");
  EXPECT_EQ(std::string(b.values, sizeof b.values), std::string(sizeof b.values, '#'));
  EXPECT_EQ(Heard().size(), 3u);

  Block only99{99};
  const size_t before = Heard().size();
  EXPECT_EQ(Outcome(GetAllParams(only99.selection, only99.values)),
            "-1 40 No reply from terminal");  // 99 - 100
  EXPECT_EQ(Heard().size(), before + 1);
  EXPECT_EQ(Heard().back(), "CFG 99");
}

TEST_F(Params, BlockWriteStopsAtTheFirstRefusal) {
  Answer([](const std::string &line) { return line.rfind("CFG 20", 0) == 0 ? "no" : line; });
  Block b{2, 7, 20, 30};
  std::strcpy(b.Slot(2), "two");
  std::strcpy(b.Slot(7), "");
  std::strcpy(b.Slot(20), "twenty");
  std::strcpy(b.Slot(30), "thirty");
  EXPECT_EQ(Outcome(SetAllParams(b.selection, b.values)), "-80 51 Configuration command ignored");
  EXPECT_EQ(Heard(), (std::vector<std::string>{"CFG 02 two", "CFG 07 ", "CFG 20 twenty"}));
}

TEST_F(Params, BlockWriteChecksEachValueLength) {
  Answer([](const std::string &line) { return line; });
  Block b{0, 1};
  // Slot 0 holds 32 characters running into slot 1: allowed. Slot 1 then has 15 + NUL.
  std::memcpy(b.Slot(0), std::string(32, 'a').c_str(), 33);
  EXPECT_EQ(SetAllParams(b.selection, b.values), 0) << ErrorState();
  EXPECT_EQ(Heard()[0], "CFG 00 " + std::string(32, 'a'));
  EXPECT_EQ(Heard()[1], "CFG 01 " + std::string(15, 'a'));

  Block tooLong{5, 6};
  std::memcpy(tooLong.Slot(5), std::string(33, 'b').c_str(), 34);
  const size_t before = Heard().size();
  EXPECT_EQ(Outcome(SetAllParams(tooLong.selection, tooLong.values)), "-95 3 Wrong parameters");
  EXPECT_EQ(Heard().size(), before);

  // The last slot's text must end inside the host's block.
  Block unterminated{99};
  EXPECT_EQ(Outcome(SetAllParams(unterminated.selection, unterminated.values)),
            "-1 3 Wrong parameters");
  EXPECT_EQ(Heard().size(), before);
}

TEST_F(Params, BlockCallsWithoutWork) {
  Block b;
  EXPECT_EQ(GetAllParams(b.selection, b.values), 0);
  EXPECT_EQ(SetAllParams(b.selection, b.values), 0);
  EXPECT_EQ(Outcome(GetAllParams(nullptr, b.values)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(SetAllParams(b.selection, nullptr)), "-1 3 Wrong parameters");
  EXPECT_TRUE(Heard().empty());

  // Device and selection are checked per parameter and reported with its number.
  ExitCOMM();
  b.selection[12] = 1;
  std::strcpy(b.Slot(12), "x");
  EXPECT_EQ(Outcome(GetAllParams(b.selection, b.values)), "-88 2 Device not initialized");
  Open(DEV_SERIAL_DIRECT);
  EXPECT_EQ(Outcome(SetAllParams(b.selection, b.values)), "-88 4 No terminal selected");
}

}  // namespace
}  // namespace veldc::test
