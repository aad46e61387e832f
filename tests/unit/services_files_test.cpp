// Drive, directory, view and delete, and the routine that ends a transfer early.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "protocol/exchange.h"
#include "services/files.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using Files = ServicesTest;

std::string Joined(const Lines &lines) {
  std::string out;
  for (const auto &l : lines) out += l + "\r";
  return out;
}

// The counts terminals put in their end lines and directory entries: blanks first, a sign, the
// digits up to the first other character; out of range is clamped, never wrapped.
TEST(ReadNumber, CountsAsTerminalsWriteThem) {
  const std::pair<const char *, int32_t> cases[] = {
      {"42", 42},
      {"  \t\r\n 7 RECS", 7},
      {"+12", 12},
      {"-12", -12},
      {"0012x3", 12},
      {"", 0},
      {"x12", 0},
      {"- 5", 0},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"99999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-99999999999999999999", INT32_MIN},
  };
  for (const auto &c : cases) EXPECT_EQ(services::ReadNumber(c.first), c.second) << c.first;
  char name[] = "ab-Z9\x80z";
  services::UpperCaseName(name);
  EXPECT_STREQ(name, "AB-Z9\x80Z");
}

TEST_F(Files, ChangeDrive) {
  Answer([](const std::string &line) { return line == "CD C" ? "CD c" : line; });
  EXPECT_EQ(ChgDrv("Bxyz"), 0) << ErrorState();
  EXPECT_EQ(Heard().back(), "CD B");
  EXPECT_EQ(Outcome(ChgDrv("C")), "-1 48 Drive not available");
  const size_t before = Heard().size();
  for (const char *bad : {"D", "a", "", " A"}) {
    EXPECT_EQ(Outcome(ChgDrv(bad)), "-1 3 Wrong parameters") << bad;
  }
  EXPECT_EQ(Outcome(ChgDrv(nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(Heard().size(), before);
  ExitCOMM();
  EXPECT_EQ(Outcome(ChgDrv(nullptr)), "-1 2 Device not initialized");
}

TEST_F(Files, DeleteFile) {
  Answer([](const std::string &line) { return line == "DEL KEEP" ? "DEL ??" : line; });
  char name[] = "data1";
  EXPECT_EQ(DeleFile(name), 0) << ErrorState();
  EXPECT_STREQ(name, "DATA1");
  EXPECT_EQ(Heard().back(), "DEL DATA1");
  char keep[] = "keep";
  EXPECT_EQ(Outcome(DeleFile(keep)), "-1 65 Del command ignored");
  const size_t before = Heard().size();
  char empty[] = "";
  char nine[] = "ABCDEFGHI";
  for (char *bad : {empty, nine, static_cast<char *>(nullptr)}) {
    EXPECT_EQ(Outcome(DeleFile(bad)), "-1 3 Wrong parameters");
  }
  EXPECT_STREQ(nine, "ABCDEFGHI");
  EXPECT_EQ(Heard().size(), before);
  ExitCOMM();
  EXPECT_EQ(Outcome(DeleFile(nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(DeleFile(name)), "-1 2 Device not initialized");
}

struct Entries {
  char slots[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT];
  Entries() { std::memset(slots, '#', sizeof slots); }
  std::string Slot(int n) const { return std::string(slots + n * VELDC_DIR_SLOT, VELDC_DIR_SLOT); }
  const char *Text(int n) const { return slots + n * VELDC_DIR_SLOT; }
};

TEST_F(Files, ListingUpToTheEndLine) {
  Answer([](const std::string &line) {
    return line + "\r" + Joined({"A.DAT      12", "B.DAT     300", "A-VERY-LONG-LINE-OF-TEXT"}) +
           "\x04" + "3";
  });
  Entries e;
  char nine[] = "abcdefghi";
  EXPECT_EQ(Outcome(ListFiles(nine, e.slots)), "-1 3 Wrong parameters");
  EXPECT_STREQ(nine, "abcdefghi");
  EXPECT_EQ(Outcome(ListFiles(nullptr, nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(ListFiles(nullptr, e.slots), 3) << ErrorState();
  char empty[] = "";
  EXPECT_EQ(ListFiles(empty, e.slots), 3) << ErrorState();
  char seven[] = "abcdefg";
  EXPECT_EQ(ListFiles(seven, e.slots), 3) << ErrorState();
  EXPECT_STREQ(seven, "ABCDEFG");
  EXPECT_EQ(Heard(), (Lines{"DIR", "DIR", "DIR ABCDEFG"}));
  EXPECT_STREQ(e.Text(0), "A.DAT      12");
  EXPECT_STREQ(e.Text(1), "B.DAT     300");
  // A line too long for its slot is cut to 15 characters; the next slot is not touched.
  EXPECT_EQ(e.Slot(2), std::string("A-VERY-LONG-LIN") + '\0');
  EXPECT_EQ(e.Slot(3), std::string(16, '#'));
  ExitCOMM();
  EXPECT_EQ(Outcome(ListFiles(nullptr, nullptr)), "-1 2 Device not initialized");
}

TEST_F(Files, EightCharacterNameIsAnsweredInOneReplyUnlessSorvik) {
  Answer([](const std::string &) { return "DIR ABCDEFGH   1234 and more"; });
  Entries e;
  char name[] = "abcdefgh";
  EXPECT_EQ(ListFiles(name, e.slots), 1) << ErrorState();
  EXPECT_EQ(Heard(), Lines{"DIR ABCDEFGH"});
  EXPECT_EQ(e.Slot(0), std::string("ABCDEFGH   1234") + '\0');
  EXPECT_EQ(vp.PendingInput(), 0u);

  peer.Reply("DIR\r");  // shorter than five characters: an empty entry
  EXPECT_EQ(ListFiles(name, e.slots), 1);
  EXPECT_EQ(e.Slot(0)[0], '\0');

  protocol::bSorvikModel = 1;  // lists even for an eight-character name
  Answer([](const std::string &line) { return line + "\rABCDEFGH  40\r\x04" + "1"; });
  EXPECT_EQ(ListFiles(name, e.slots), 1) << ErrorState();
  EXPECT_STREQ(e.Text(0), "ABCDEFGH  40");
}

TEST_F(Files, ListingCountsAndLimits) {
  Lines names;
  for (int i = 0; i < 201; ++i) names.push_back("F" + std::to_string(i));
  const std::string listing200 = Joined({names.begin(), names.begin() + 200});
  struct Case {
    std::string reply;
    int result;
    const char *state;
  } cases[] = {
      {"DIR\r" + listing200 + kEot + "200", 200, "0 None"},
      {"DIR\r" + Joined(names) + kEot + "201", -1, "53 Files counter overflow"},
      {"DIR\rX\rY\r" + kEot + "3", -1, "54 Files number does not match"},
      {"DIR\r\x04", 0, "0 None"},
      {"DIR\r" + kEot + "1", -1, "54 Files number does not match"},
      {"DIxx\r\x04", 0, "0 None"},
      {"DOR\r\x04", -1, "52 Dir command ignored"},
      {"D\r", -1, "52 Dir command ignored"},
      {"DIR\rX\r", -1, "40 No reply from terminal"},
  };
  for (const auto &c : cases) {
    peer.Reply(c.reply + "\r");
    Entries e;
    const Micros start = vp.Now();
    EXPECT_EQ(ListFiles(nullptr, e.slots), c.result) << c.state;
    EXPECT_EQ(ErrorState(), c.state);
    if (c.state[0] == '4') {
      EXPECT_EQ((vp.Now() - start) / kSecond, 10u);  // each line waits 10 s
    }
    if (c.result == -1 && c.reply.size() > 6 && c.reply[4] == 'X') {
      EXPECT_STREQ(e.Text(0), "X");  // entries stored before the failure stay
    }
  }
  // A listing never ends the transfer itself.
  for (const auto &line : Heard()) EXPECT_EQ(line, "DIR");
}

// The file's lines with CR LF, up to a full buffer; an EOT command only when the file did not
// end by itself.
TEST_F(Files, View) {
  const std::string kept = "TYPE X\r1234567\rnext\r" + kEot + "2";
  const struct {
    const char *name;
    std::string typed;  // the terminal's answer to "TYPE"
    int size;
    const char *outcome, *text, *written;  // text nullptr: not looked at
  } cases[] = {
      {"log", "TYPE LOG\rAB\r\rCD\r" + kEot + "99 ignored", 64, "3 0 None", "AB\r\n\r\nCD\r\n",
       "TYPE LOG\r"},
      {"x", "TYPE X\r" + kEot, 64, "0 0 None", "", "TYPE X\r"},
      {"x", kept, 10, "1 0 None", "1234567\r\n", "TYPE X\r\x04\r"},
      {"x", kept, 9, "0 0 None", "", "TYPE X\r\x04\r"},  // 7 + CR LF + NUL do not fit
      {"x", "TYPE ?", 64, "-1 62 Send command ignored", nullptr, "TYPE X\r\x04\r"},
      {"x", "TYPE X\rfirst", 64, "-1 40 No reply from terminal", nullptr, "TYPE X\r\x04\r"},
  };
  for (const auto &c : cases) {
    const std::string typed = c.typed;
    Answer([typed](const std::string &line) { return line == kEot ? "\x04*" : typed; });
    vp.ClearWritten();
    std::string name = c.name;
    std::vector<char> buffer(c.size, '#');
    EXPECT_EQ(Outcome(ViewFile(name.data(), buffer.data(), c.size)), c.outcome) << c.typed;
    if (c.text != nullptr) {
      EXPECT_STREQ(buffer.data(), c.text) << c.typed;
    }
    EXPECT_EQ(Written(), c.written) << c.typed;
    EXPECT_EQ("TYPE " + name + "\r", Written().substr(0, name.size() + 6));  // name in capitals
  }
  char name[] = "x";
  char buffer[64];
  const size_t before = Heard().size();
  EXPECT_EQ(Outcome(ViewFile(name, buffer, 32768)), "-1 3 Wrong parameters");
  char nine[] = "ABCDEFGHI";
  EXPECT_EQ(Outcome(ViewFile(nine, buffer, 64)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(ViewFile(name, nullptr, 64)), "-1 3 Wrong parameters");
  EXPECT_EQ(Heard().size(), before);
  ExitCOMM();
  EXPECT_EQ(Outcome(ViewFile(nullptr, buffer, 64)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(ViewFile(name, buffer, 64)), "-1 2 Device not initialized");
}

TEST_F(Files, EndTransferWaitsForTheAcknowledgementAndKeepsTheCode) {
  struct Case {
    std::string answer;  // to the EOT command
    size_t leftUnread;   // bytes still waiting afterwards
  } cases[] = {
      {"..\x04*..\r", 0},                // acknowledged at once
      {"busy\rline\r\x04*\rrest\r", 5},  // after two more lines
      {"a\rb\rc\rd\re\r", 2},            // three more lines at most
  };
  for (const auto &c : cases) {
    peer.Reply(c.answer);
    SetError(kErrRecordTooLong);
    services::EndTransfer();
    EXPECT_EQ(ErrorState(), "57 Record too long");
    EXPECT_EQ(Heard().back(), kEot);
    EXPECT_EQ(vp.PendingInput(), c.leftUnread) << c.answer;
  }

  // A silent terminal: the EOT exchange's 5 s and three 10 s waits.
  SetError(kErrSendIgnored);
  Micros start = vp.Now();
  services::EndTransfer();
  EXPECT_EQ(ErrorState(), "62 Send command ignored");
  EXPECT_GE(vp.Now() - start, 35 * kSecond);
  EXPECT_LT(vp.Now() - start, 36 * kSecond);

  // A port that fails the EOT command: three 10 s waits, and the number of the error being
  // reported survives the clean-up's own.
  SetWindowsError(4);
  vp.FailWriteFile(true);
  vp.QueueClearErrorMask(8);
  start = vp.Now();
  services::EndTransfer();
  EXPECT_EQ(ErrorState(), "70 Windows error: 4");
  EXPECT_GE(vp.Now() - start, 30 * kSecond);
  EXPECT_LT(vp.Now() - start, 31 * kSecond);
}

}  // namespace
}  // namespace veldc::test
