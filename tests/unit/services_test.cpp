// The terminal services on the direct line: checks, commands, refusals, clean-up, cancel.
#include <initializer_list>

#include "core/errors.h"
#include "platform/meter_ui.h"
#include "services/files.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

const std::string kCtrlZ = "\x1A";  // the end-of-file mark of a DOS text file

using Services = ServicesTest;

// "result code" closed, with no terminal and with terminal 0 selected ("" = not looked at).
TEST_F(Services, ChecksComeFirstAndCauseNoTraffic) {
  char name[] = "data", nine[] = "abcdefghi", bad[] = "D", empty[] = "";
  char text[VELDC_REPLY_SIZE], entries[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT];
  const std::string in = files.Path("in.txt"), out = files.Path("out.txt");
  const std::string v32(32, 'v'), v33(33, 'v'), c128(128, 'C');
  files.Write("in.txt", "AB\r\n");
  const auto load = [&](const char *n, int p, int option) {
    std::string terminal = n;
    return SendFile(in.c_str(), terminal.data(), p, option);
  };
  const std::tuple<const char *, std::function<int()>, const char *, const char *, const char *>
      cases[] = {
          {"send", [&] { return SendCommand("TIME", text); }, "-1 2", "-1 4", ""},
          {"message", [&] { return GetMsgEx(text); }, "-1 2", "-1 4", ""},
          {"post", [] { return PostCommand("TIME"); }, "-1 2", "-1 4", ""},
          {"response", [&] { return GetResponse(text); }, "-1 2", "-1 4", ""},
          {"send 128", [&] { return SendCommand(c128.c_str(), text); }, "-1 2", "-1 4", "-1 3"},
          {"post 128", [&] { return PostCommand(c128.c_str()); }, "-1 2", "-1 4", "-1 3"},
          {"send null", [] { return SendCommand("TIME", nullptr); }, "-1 2", "-1 4", "-1 3"},
          {"message null", [] { return GetMsgEx(nullptr); }, "-1 3", "-1 3", "-1 3"},
          {"response null", [] { return GetResponse(nullptr); }, "-1 3", "-1 3", "-1 3"},
          {"load", [&] { return load("DATA", 0, 0); }, "-1 2", "-1 4", ""},
          {"load p 2", [&] { return load("DATA", 2, 0); }, "", "", "-1 3"},
          {"load option 128", [&] { return load("DATA", 0, 128); }, "", "", "-1 3"},
          {"load nine", [&] { return load("ABCDEFGHI", 0, 0); }, "", "", "-1 3"},
          {"load no file", [&] { return SendFile(nullptr, name, 0, 0); }, "", "", "-1 3"},
          {"program", [&] { return SendPrg(in.c_str()); }, "", "-1 4", ""},
          {"program no file", [] { return SendPrg(nullptr); }, "", "", "-1 3"},
          {"upload", [&] { return RecvFile(name, out.c_str()); }, "-1 2", "-1 4", ""},
          {"upload nine", [&] { return RecvFile(nine, out.c_str()); }, "", "", "-1 3"},
          {"drive", [] { return ChgDrv(nullptr); }, "-1 2", "", "-1 3"},
          {"drive D", [&] { return ChgDrv(bad); }, "", "", "-1 3"},
          {"drive blank", [] { return ChgDrv(" A"); }, "", "", "-1 3"},
          {"delete", [&] { return DeleFile(name); }, "-1 2", "", ""},
          {"delete null", [] { return DeleFile(nullptr); }, "-1 3", "", "-1 3"},
          {"list", [] { return ListFiles(nullptr, nullptr); }, "-1 2", "", "-1 3"},
          {"list nine", [&] { return ListFiles(nine, entries); }, "", "", "-1 3"},
          {"view", [&] { return ViewFile(name, text, 64); }, "-1 2", "", ""},
          {"view 32768", [&] { return ViewFile(name, text, 32768); }, "", "", "-1 3"},
          {"view null", [&] { return ViewFile(nullptr, text, 64); }, "-1 3", "", ""},
          {"view no buffer", [&] { return ViewFile(name, nullptr, 64); }, "-1 3", "", ""},
          {"view nine", [&] { return ViewFile(nine, text, 64); }, "", "", "-1 3"},
          {"delete nine", [&] { return DeleFile(nine); }, "", "", "-1 3"},
          {"upload null", [&] { return RecvFile(nullptr, out.c_str()); }, "-1 3", "", ""},
          {"upload no file", [&] { return RecvFile(name, nullptr); }, "-1 3", "", ""},
          {"upload empty", [&] { return RecvFile(empty, out.c_str()); }, "", "", "-1 3"},
          {"load no name", [&] { return SendFile(in.c_str(), nullptr, 0, 0); }, "-1 3", "", ""},
          {"load option -1", [&] { return load("DATA", 0, -1); }, "", "", "-1 3"},
          {"get time null", [] { return GetTime(nullptr); }, "-1 3", "", ""},
          {"set date null", [] { return SetDate(nullptr); }, "-1 3", "", ""},
          {"get parameter null", [] { return GetParameter(5, nullptr); }, "-1 3", "", ""},
          {"get block null", [&] { return GetAllParams(nullptr, text); }, "-1 3", "", ""},
          {"set block null", [&] { return SetAllParams(nullptr, text); }, "-1 3", "", ""},
          {"set time", [] { return SetTime("99"); }, "-1 2", "-1 4", "-1 3"},
          {"set time null", [] { return SetTime(nullptr); }, "-1 3", "", ""},
          {"set date", [] { return SetDate("3000101"); }, "", "-1 4", ""},
          {"get time", [&] { return GetTime(text); }, "", "-1 4", ""},
          {"get date", [&] { return GetDate(text); }, "-1 2", "", ""},
          {"get parameter 100", [&] { return GetParameter(100, text); }, "", "", "-1 3"},
          {"set parameter 100", [] { return SetParameter(100, "x"); }, "", "", "-1 3"},
          {"set parameter 33", [&] { return SetParameter(5, v33.c_str()); }, "-1 3", "", "-1 3"},
          {"set parameter 32", [&] { return SetParameter(5, v32.c_str()); }, "-1 2", "", ""},
          // Clock texts: hours, minutes, seconds; weekday 0-6, two-digit year, month, day.
          {"240000", [] { return SetTime("240000"); }, "", "", "-1 3"},
          {"120060", [] { return SetTime("120060"); }, "", "", "-1 3"},
          {"1234567", [] { return SetTime("1234567"); }, "", "", "-1 3"},
          {"7000101", [] { return SetDate("7000101"); }, "", "", "-1 3"},
          {"0001301", [] { return SetDate("0001301"); }, "", "", "-1 3"},
          {"0000431", [] { return SetDate("0000431"); }, "", "", "-1 3"},
      };
  ASSERT_EQ(ExitCOMM(), 0);
  for (int state = 0; state < 3; ++state) {
    if (state == 1) Open(DEV_SERIAL_DIRECT);
    if (state == 2) ChgTerminal(0);
    for (const auto &[what, call, closed, unselected, selected] : cases) {
      const std::string expected = state == 0 ? closed : state == 1 ? unselected : selected;
      if (expected.empty()) continue;
      const int r = call();
      EXPECT_EQ(std::to_string(r) + " " + std::to_string(nErrorCode), expected) << what << state;
    }
  }
  EXPECT_TRUE(Heard().empty());
  EXPECT_STREQ(nine, "abcdefghi") << "a refused name is not turned to capitals";
  EXPECT_EQ(files.Read("in.txt"), "AB\r\n");
  EXPECT_FALSE(files.Exists("out.txt"));
}

// Reply, outcome ("= value" of a read), bytes written. Writes need the exact echo.
TEST_F(Services, CommandsAndTheirReplies) {
  char v[VELDC_REPLY_SIZE], del[] = "data1", keep[] = "keep";
  const std::string v32(32, 'v');
  const std::tuple<std::string, std::function<int()>, const char *, std::string> cases[] = {
      {"CD B\r", [] { return ChgDrv("Bxyz"); }, "0 0 None", "CD B\r"},
      {"CD c\r", [] { return ChgDrv("C"); }, "-1 48 Drive not available", "CD C\r"},
      {"DEL DATA1\r", [&] { return DeleFile(del); }, "0 0 None", "DEL DATA1\r"},
      {"DEL ??\r", [&] { return DeleFile(keep); }, "-1 65 Del command ignored", "DEL KEEP\r"},
      {"TIME 0\r", [&] { return GetTime(v); }, "= 0", "TIME\r"},
      {"", [&] { return GetTime(v); }, "-1 40 No reply from terminal", "TIME\r"},
      {"DATE 3261206\r", [&] { return GetDate(v); }, "= 3261206", "DATE\r"},
      {"DATE\r", [&] { return GetDate(v); }, "-1 50 Date command ignored", "DATE\r"},
      {"TIME 235959\r", [] { return SetTime("235959"); }, "0 0 None", "TIME 235959\r"},
      {"time 120000\r", [] { return SetTime("120000"); }, "-1 49 Time command ignored",
       "TIME 120000\r"},
      {"TIME 12", [] { return SetTime("120000"); }, "-1 35 Bad RS232 end of record",
       "TIME 120000\r"},
      {"DATE 6991231\r", [] { return SetDate("6991231"); }, "0 0 None", "DATE 6991231\r"},
      {"DATE 0000131 \r", [] { return SetDate("0000131"); }, "-1 50 Date command ignored",
       "DATE 0000131\r"},
      {"CFG 05 \r", [] { return SetParameter(5, nullptr); }, "0 0 None", "CFG 05 \r"},
      {"CFG 99 " + v32 + "\r", [&] { return SetParameter(99, v32.c_str()); }, "0 0 None",
       "CFG 99 " + v32 + "\r"},
      {"CFG 05 Y\r", [] { return SetParameter(5, "y"); }, "-1 51 Configuration command ignored",
       "CFG 05 y\r"},
      {"CFG 07 x\r", [&] { return GetParameter(7, v); }, "= x", "CFG 07\r"},  // one character
      {"CFG 07 hello world\r", [&] { return GetParameter(7, v); }, "= hello world", "CFG 07\r"},
      {"", [&] { return GetParameter(0, v); }, "-1 40 No reply from terminal", "CFG 00\r"},
  };
  for (const auto &[reply, call, outcome, written] : cases) {
    vp.ClearWritten();
    if (!reply.empty()) peer.Reply(reply);
    std::strcpy(v, "untouched");
    const int r = call();
    EXPECT_EQ(r == 0 && std::string(v) != "untouched" ? "= " + std::string(v) : Outcome(r), outcome)
        << written;
    EXPECT_EQ(Written(), written) << outcome;
  }
  EXPECT_STREQ(del, "DATA1");
}

enum Fault { kNone, kEcho, kSilent, kCount, kEots, kRefuse, kRead, kOpen, kClose };

class Download : public ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    Answer(&terminal);
  }
  int Send(const std::string &content, const char *name = "data", int p = 0, int option = 0) {
    files.Write("in.txt", content);
    terminalName = name;
    return SendFile(files.Path("in.txt").c_str(), terminalName.data(), p, option);
  }
  std::string Load(bool program, const std::string &content, Fault fault = kNone, int n = 0) {
    terminal = LoadTerminal();
    using T = LoadTerminal;
    int T::*const faults[] = {nullptr,         &T::wrongEchoAt, &T::silentAt,
                              &T::countOffset, &T::silentEots,  &T::refuseLoad};
    const Call calls[] = {Call::FileRead, Call::FileOpenRead, Call::FileClose};
    if (fault >= kRead) vp.Fail(calls[fault - kRead], n);
    if (fault != kNone && fault < kRead) terminal.*faults[fault] = n;
    vp.ClearWritten();
    if (!program) return Outcome(Send(content));
    files.Write("in.txt", content);
    return Outcome(SendPrg(files.Path("in.txt").c_str()));
  }

  LoadTerminal terminal;
  std::string terminalName;  // as the last file load left it
};

// A failed file load deletes the partial file, a failed program load tells the terminal to stop.
TEST_F(Download, LoadsAndTheirCleanUp) {
  const std::string max = Numbered(10001, "\r"), two = "AB\r\nCD\r\n", r127(127, 'z'),
                    tooLong = "AB\r\n" + r127 + "z\r\n";
  const std::tuple<bool, std::string, Fault, int, const char *, std::string> cases[] = {
      {false, kCtrlZ + "AB\r\n", kNone, 0, "0 0 None", "LOAD DATA\r\x04\r"},  // closed at once
      {false, "AB\r\r\nCD", kNone, 0, "3 0 None", "LOAD DATA\rAB\r\rCD\r\x04\r"},
      {false, "AB" + kCtrlZ + "CD\r\n", kNone, 0, "2 0 None", "LOAD DATA\rAB\rCD\r\x04\r"},
      {false, r127 + "\r\n", kNone, 0, "1 0 None", "LOAD DATA\r" + r127 + "\r\x04\r"},
      {true, "10 PRINT\r\n20 END\r\n", kNone, 0, "2 0 None",
       "%XI\rLOADP PROGRAM\r10 PRINT\r20 END\r\x04\r"},
      {false, tooLong, kNone, 0, "-1 57 Record too long", "LOAD DATA\rAB\r\x04\rDEL DATA\r"},
      {false, two, kRead, 4, "-1 58 Error reading record", "LOAD DATA\rAB\r\x04\rDEL DATA\r"},
      {false, two + "EF\r\n", kEcho, 2, "-1 59 Error sending record",
       "LOAD DATA\rAB\rCD\r\x04\rDEL DATA\r"},
      {false, two, kSilent, 1, "-1 40 No reply from terminal", "LOAD DATA\rAB\r\x04\rDEL DATA\r"},
      {false, two, kCount, 1, "-1 60 Records number does not match", "LOAD DATA\rAB\rCD\r\x04\r"},
      {false, "AB\r\n", kOpen, 1, "-1 56 Not able to open file", "LOAD DATA\r\x04\rDEL DATA\r"},
      {false, "AB\r\n", kClose, 1, "-1 67 Not able to close file", "LOAD DATA\rAB\r\x04\r"},
      {false, "AB\r\n", kEots, 2, "-1 45 EOT command ignored",
       "LOAD DATA\rAB\r\x04\r\x04\r\x04\rDEL DATA\r"},
      // The line fetch after a silent EOT gets nothing either; the second EOT is answered.
      {false, "AB\r\n", kEots, 1, "1 0 None", "LOAD DATA\rAB\r\x04\r\x04\r"},
      {true, "A\r\n", kRefuse, 1, "-1 55 Load command ignored", "%XI\rLOADP PROGRAM\r"},
      {true, "A\r\n", kEcho, 1, "-1 59 Error sending record",
       "%XI\rLOADP PROGRAM\rA\rSTOP DOWNLOADING\r\x04\r"},
      {true, "A\r\nB\r\n", kCount, -1, "-1 60 Records number does not match",
       "%XI\rLOADP PROGRAM\rA\rB\r\x04\rSTOP DOWNLOADING\r\x04\r"},
      {true, "A\r\n", kOpen, 1, "-1 56 Not able to open file",
       "%XI\rLOADP PROGRAM\rSTOP DOWNLOADING\r\x04\r"},
      // The load ends with the record that takes the count past 10,000; a file that goes on is
      // refused, not cut short.
      {false, Numbered(10001), kNone, 0, "10001 0 None", "LOAD DATA\r" + max + "\x04\r"},
      {false, Numbered(10005), kNone, 0, "-1 64 Records number overflow",
       "LOAD DATA\r" + max + "\x04\rDEL DATA\r"},
      {true, Numbered(10002), kNone, 0, "-1 64 Records number overflow",
       "%XI\rLOADP PROGRAM\r" + max + "STOP DOWNLOADING\r\x04\r"},
  };
  for (const auto &[program, content, fault, n, outcome, written] : cases) {
    EXPECT_EQ(Load(program, content, fault, n), outcome) << written;
    EXPECT_EQ(Written(), written) << outcome;
    EXPECT_EQ(files.Read("in.txt"), content) << outcome;
  }
  EXPECT_EQ(terminalName, "DATA");
  // The options ride on the load command; nothing follows a refusal.
  const std::tuple<int, int, const char *> options[] = {
      {1, 0, "LOAD DATA P\r"}, {0, 12, "LOAD DATA 12\r"}, {1, 127, "LOAD DATA P127\r"}};
  for (const auto &[p, option, written] : options) {
    terminal = LoadTerminal();
    terminal.refuseLoad = true;
    vp.ClearWritten();
    EXPECT_EQ(Outcome(Send("AB\r\n", "Data", p, option)), "-1 55 Load command ignored");
    EXPECT_EQ(Written(), written);
  }
  // A program needs an F or P RAM card.
  terminal = LoadTerminal();
  terminal.ramCard = "Veld X";
  vp.ClearWritten();
  EXPECT_EQ(Outcome(SendPrg(files.Path("in.txt").c_str())), "-1 69 Bad RAM-Card format");
  EXPECT_EQ(Written(), "%XI\r");
}

std::string Joined(const Lines &lines) {
  std::string out;
  for (const auto &l : lines) out += l + "\r";
  return out;
}

struct Entries {
  char slots[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT];
  Entries() { std::memset(slots, '#', sizeof slots); }
  std::string Slot(int n) const { return std::string(slots + n * VELDC_DIR_SLOT, VELDC_DIR_SLOT); }
};

TEST_F(Services, ListingEntriesCountsAndLimits) {
  // An eight-character name is answered in one reply (cut to its slot); one shorter than five
  // is an empty entry.
  Answer([](const std::string &) { return "DIR ABCDEFGH   1234 and more"; });
  Entries e;
  char eight[] = "abcdefgh";
  EXPECT_EQ(ListFiles(eight, e.slots), 1) << ErrorState();
  EXPECT_EQ(Heard(), Lines{"DIR ABCDEFGH"});
  EXPECT_EQ(e.Slot(0), std::string("ABCDEFGH   1234") + '\0');
  EXPECT_EQ(vp.PendingInput(), 0u);
  peer.Reply("DIR\r");
  EXPECT_EQ(ListFiles(eight, e.slots), 1);
  EXPECT_EQ(e.Slot(0)[0], '\0');
  Lines names;
  for (int i = 0; i < 201; ++i) names.push_back("F" + std::to_string(i));
  const std::tuple<std::string, int, const char *> cases[] = {
      {"DIR\r" + Joined({names.begin(), names.begin() + 200}) + kEot + "200", 200, "0 None"},
      {"DIR\r" + Joined(names) + kEot + "201", -1, "53 Files counter overflow"},
      {"DIR\rX\rY\r" + kEot + "3", -1, "54 Files number does not match"},
      {"DIR\r" + kEot + "1", -1, "54 Files number does not match"},
      {"DIxx\r\x04", 0, "0 None"},
      {"DOR\r\x04", -1, "52 Dir command ignored"},
      {"DIR\rX\r", -1, "40 No reply from terminal"}};  // after the line's 10 s
  for (const auto &[reply, result, state] : cases) {
    const size_t heard = Heard().size();
    peer.Reply(reply + "\r");
    Entries e;
    const Micros start = vp.Now();
    EXPECT_EQ(ListFiles(nullptr, e.slots), result) << state;
    EXPECT_EQ(ErrorState(), state);
    EXPECT_EQ((vp.Now() - start) / (10 * kSecond), state[0] == '4' ? 1u : 0u) << state;
    EXPECT_EQ(HeardSince(heard), Lines{"DIR"}) << "a listing never ends the transfer itself";
    EXPECT_EQ(e.Slot(0).substr(0, 2), reply[4] == 'X'   ? std::string("X\0", 2)
                                      : reply[4] == 'F' ? "F0"
                                                        : "##");
  }
}

// An EOT command only when the file did not end by itself.
TEST_F(Services, ViewFile) {
  const std::string kept = "TYPE X\r1234567\rnext\r" + kEot + "2";
  // The name, the terminal's answer to "TYPE", the buffer's size, the outcome, the text (nullptr:
  // not looked at) and the bytes written.
  const std::tuple<const char *, std::string, int, const char *, const char *, const char *>
      cases[] = {
          {"log", "TYPE LOG\rAB\r\rCD\r" + kEot + "99 ignored", 64, "3 0 None", "AB\r\n\r\nCD\r\n",
           "TYPE LOG\r"},
          {"x", kept, 10, "1 0 None", "1234567\r\n", "TYPE X\r\x04\r"},
          {"x", kept, 9, "0 0 None", "", "TYPE X\r\x04\r"},  // 7 + CR LF + NUL do not fit
          {"x", "TYPE ?", 64, "-1 62 Send command ignored", nullptr, "TYPE X\r\x04\r"},
          {"x", "TYPE X\rfirst", 64, "-1 40 No reply from terminal", nullptr, "TYPE X\r\x04\r"},
      };
  for (const auto &[file, typed, size, outcome, text, written] : cases) {
    Answer([typed = typed](const std::string &line) { return line == kEot ? "\x04*" : typed; });
    vp.ClearWritten();
    std::string name = file;
    std::vector<char> buffer(size, '#');
    EXPECT_EQ(Outcome(ViewFile(name.data(), buffer.data(), size)), outcome) << typed;
    EXPECT_STREQ(text ? buffer.data() : nullptr, text) << typed;  // two nulls are equal
    EXPECT_EQ(Written(), written) << typed;
  }
}

// The EOT's acknowledgement is looked for in three more lines of 10 s at most; the code stays.
TEST_F(Services, EndTransferWaitsForTheAcknowledgementAndKeepsTheCode) {
  peer.Reply("a\rb\rc\rd\re\r");
  SetError(kErrRecordTooLong);
  services::EndTransfer();
  EXPECT_EQ(ErrorState(), "57 Record too long");
  EXPECT_EQ(Heard().back(), kEot);
  EXPECT_EQ(vp.PendingInput(), 2u) << "the fifth line is left unread";
  const Micros start = vp.Now();
  services::EndTransfer();  // a silent terminal: the EOT exchange's 5 s, then three times 10 s
  EXPECT_TRUE(Within(vp.Now() - start, 35 * kSecond, 36 * kSecond));
}

struct Block {
  int selection[VELDC_PARAM_COUNT] = {};
  char values[VELDC_PARAM_COUNT * VELDC_PARAM_SLOT];
  explicit Block(std::initializer_list<int> selected = {}) {
    std::memset(values, '#', sizeof values);
    for (int i : selected) selection[i] = 1;
  }
  char *Slot(int i) { return values + i * VELDC_PARAM_SLOT; }
};

TEST_F(Services, BlockReadKeepsEachValueInItsSlotOrWritesNothing) {
  Answer([](const std::string &line) -> std::optional<std::string> {
    const std::string n = line.substr(4, 2);
    if (n == "40" || n == "99") return std::nullopt;
    return "CFG " + n + (n == "10" ? " " + std::string(40, 'L') : " v" + n);
  });
  Block b{3, 10, 11};
  EXPECT_EQ(GetAllParams(b.selection, b.values), 0) << ErrorState();
  EXPECT_EQ(Heard(), (Lines{"CFG 03", "CFG 10", "CFG 11"}));
  EXPECT_STREQ(b.Slot(3), "v03");
  EXPECT_EQ(std::string(b.Slot(10), 17), std::string(16, 'L') + '\0');  // cut to the slot
  EXPECT_STREQ(b.Slot(11), "v11");
  EXPECT_EQ(std::string(b.Slot(0), 17), std::string(17, '#')) << "a slot not selected";
  // A failure returns the parameter's number less 100 and writes no slot.
  Block two{2, 40, 41}, last{99};
  const size_t heard = Heard().size();
  EXPECT_EQ(Outcome(GetAllParams(two.selection, two.values)), "-60 40 No reply from terminal");
  EXPECT_EQ(Outcome(GetAllParams(last.selection, last.values)), "-1 40 No reply from terminal");
  EXPECT_EQ(HeardSince(heard), (Lines{"CFG 02", "CFG 40", "CFG 99"}));
  for (Block *f : {&two, &last}) {
    EXPECT_EQ(std::string(f->values, sizeof f->values), std::string(sizeof f->values, '#'));
  }
}

TEST_F(Services, BlockWriteChecksEachValueAndStopsAtTheFirstRefusal) {
  Answer([](const std::string &line) { return line.rfind("CFG 20", 0) == 0 ? "no" : line; });
  Block b{0, 1, 7, 20, 30};
  // Slot 0 holds 32 characters running into slot 1: allowed. Slot 1 then has 15 + NUL.
  std::memcpy(b.Slot(0), std::string(32, 'a').c_str(), 33);
  std::strcpy(b.Slot(7), "");
  std::strcpy(b.Slot(20), "twenty");
  std::strcpy(b.Slot(30), "thirty");
  EXPECT_EQ(Outcome(SetAllParams(b.selection, b.values)), "-80 51 Configuration command ignored");
  EXPECT_EQ(Heard(), (Lines{"CFG 00 " + std::string(32, 'a'), "CFG 01 " + std::string(15, 'a'),
                            "CFG 07 ", "CFG 20 twenty"}));
  Block tooLong{5, 6};
  std::memcpy(tooLong.Slot(5), std::string(33, 'b').c_str(), 34);
  const size_t heard = Heard().size();
  EXPECT_EQ(Outcome(SetAllParams(tooLong.selection, tooLong.values)), "-95 3 Wrong parameters");
  Block unterminated{99};  // the last slot's text must end inside the host's block
  EXPECT_EQ(Outcome(SetAllParams(unterminated.selection, unterminated.values)),
            "-1 3 Wrong parameters");
  EXPECT_EQ(Heard().size(), heard);
  // Device and selection are checked per parameter.
  ExitCOMM();
  Block twelve{12};
  std::strcpy(twelve.Slot(12), "x");
  EXPECT_EQ(Outcome(GetAllParams(twelve.selection, twelve.values)), "-88 2 Device not initialized");
  Open(DEV_SERIAL_DIRECT);
  EXPECT_EQ(Outcome(SetAllParams(twelve.selection, twelve.values)), "-88 4 No terminal selected");
}

class Upload : public ServicesTest {
 protected:
  // The terminal types `body` (lines ending in CR, the end line included) after echoing
  // "TYPE", answers a "DIR" lookup with `dir` (if any) and acknowledges the EOT command.
  void Types(const std::string &body, const std::string &dir = "") {
    Answer([body, dir](const std::string &line) -> std::optional<std::string> {
      if (line.rfind("TYPE ", 0) == 0) return line + "\r" + body.substr(0, body.size() - 1);
      if (line.rfind("DIR ", 0) == 0 && !dir.empty()) return dir;
      if (line == kEot) return "\x04*";
      return std::nullopt;
    });
  }
  std::string Receive(const char *name = "data") {
    std::string terminalName = name;
    return Outcome(RecvFile(terminalName.data(), files.Path("out.txt").c_str()));
  }
};

TEST_F(Upload, EndLineIsJudged) {
  const std::string z127(127, 'z');  // 127 * 122 = 15494
  const std::pair<std::string, const char *> cases[] = {
      {"AB\rCD\r" + kEot + "2\r", "2 0 None"},
      {kEot + "0\r", "0 0 None"},
      {"AB\rCD\r" + kEot + "2 RECS 267\r", "-1 68 Bad file checksum"},
      {"AB\rCD\r" + kEot + "3 RECS 266\r", "-1 60 Records number does not match"},
      {"\xFF\xFF\rA\r" + kEot + "2 RECS 63\r", "2 0 None"},  // signed bytes
      {z127 + "\r" + z127 + "\r" + z127 + "\r" + kEot + "3 RECS 13714\r", "3 0 None"},  // % 32768
  };
  for (const auto &[body, outcome] : cases) {
    Types(body);
    char name[] = "data";
    EXPECT_EQ(Outcome(RecvFile(name, files.Path("out.txt").c_str())), outcome) << body;
    EXPECT_STREQ(name, "DATA");
    // On success and on both mismatches the file holds every record received.
    std::string expected;
    for (size_t at = 0, cr; body[at] != '\x04'; at = cr + 1) {
      cr = body.find('\r', at);
      expected += body.substr(at, cr - at) + "\r\n";
    }
    EXPECT_EQ(files.Read("out.txt"), expected) << body;
  }
  EXPECT_EQ(Heard(), Lines(6, "TYPE DATA"));  // the end line closes the transfer
  peer.Reply("TYPE ??\r");
  EXPECT_EQ(Receive(), "-1 62 Send command ignored");
  EXPECT_FALSE(files.Exists("out.txt"));
  // The 10,001st record is judged as the end line, and fails even when it reads like one that
  // matches; the terminal is told to stop, and the PC file keeps the first 10,000 records.
  Types(Numbered(10000, "\r") + "X10000\rR10002\r" + kEot + "10002\r");
  EXPECT_EQ(Receive(), "-1 60 Records number does not match");
  EXPECT_EQ(Heard().back(), kEot);
  EXPECT_EQ(files.Read("out.txt"), Numbered(10000));
}

// With the meter on, the size is looked up first ("DIR" and the name padded to eight).
TEST_F(Upload, TheMeterLooksUpTheSizeAndIsClosedOnFailure) {
  EnableMeter(1);
  Types("ABC\r", "NO");
  EXPECT_EQ(Receive("log"), "-1 52 Dir command ignored");
  EXPECT_EQ(Heard(), (Lines{"DIR LOG     ", kEot}));
  EXPECT_FALSE(files.Exists("out.txt"));
  EXPECT_TRUE(vp.LogOf(Call::MeterCreate).empty());
  Types("ABC\r", "DIR LOG      9");  // then silence
  EXPECT_EQ(Receive("log"), "-1 40 No reply from terminal");
  EXPECT_EQ(vp.LogOf(Call::MeterDestroy).size(), 1u);
  EXPECT_EQ(vp.OpenMeterCount(), 0);
  Lines reports;  // a "PRE" file's size counts double
  SetProgressCallback(CollectReport, &reports);
  Types("ABC\r" + kEot + "1\r", "DIR PREX     9");
  EXPECT_EQ(Receive("PREX"), "1 0 None");
  SetProgressCallback(nullptr, nullptr);
  EXPECT_EQ(reports, (Lines{"110,0,0,0,0,", "110,1,1,4,18,", "110,2,1,4,18,"}));
}

// A window and a report per record when on, neither when off; a failed download closes it.
TEST_F(Services, TransferMeter) {
  Lines reports;
  LoadTerminal terminal;
  Answer(&terminal);
  std::string ten;  // ten records of 10 characters and CR LF
  for (int i = 100; i < 110; ++i) ten += "record " + std::to_string(i) + "\r\n";
  files.Write("in.txt", ten);
  SetError(kErrNoReply);  // neither the switch nor the callback touches the error code
  EXPECT_EQ(Outcome(SetProgressCallback(CollectReport, &reports) + EnableMeter(0)),
            "0 40 No reply from terminal");
  for (const int on : {0, 1}) {
    EnableMeter(on);
    terminal = LoadTerminal();
    terminal.wrongEchoAt = 3;
    vp.ClearLog();
    char name[] = "DATA";
    EXPECT_EQ(Outcome(SendFile(files.Path("in.txt").c_str(), name, 0, 0)),
              "-1 59 Error sending record");
    EXPECT_EQ(vp.LogOf(Call::MeterCreate).size(), static_cast<size_t>(on));
    EXPECT_EQ(vp.OpenMeterCount(), 0);
    using meter::kItemRecords, meter::kItemTotal;
    std::vector<std::pair<int64_t, int64_t>> items, shown;  // the window's record count and total
    if (on) shown = {{kItemRecords, 1}, {kItemTotal, 120}, {kItemRecords, 2}, {kItemTotal, 120}};
    for (const auto &e : vp.LogOf(Call::MeterSetItemInt)) items.emplace_back(e.a, e.b);
    EXPECT_EQ(items, shown);
  }
  EXPECT_EQ(reports,
            (Lines{"110,0,0,0,0,", "110,1,1,12,120,", "110,1,2,24,120,", "110,2,2,24,120,"}));
}

// A count out of range is clamped, never wrapped.
TEST(Helpers, ReadNumberClamps) {
  const std::pair<const char *, int32_t> cases[] = {{"  \t\r\n 7 RECS", 7},
                                                    {"+12", 12},
                                                    {"-12", -12},
                                                    {"x12", 0},
                                                    {"2147483648", INT32_MAX},
                                                    {"-2147483648", INT32_MIN},
                                                    {"99999999999999999999", INT32_MAX},
                                                    {"-99999999999999999999", INT32_MIN}};
  for (const auto &[text, value] : cases) EXPECT_EQ(services::ReadNumber(text), value) << text;
}

using Cancel = ServicesTest;

TEST_F(Cancel, WaitsEndEarlyAndOtherCallsIgnoreTheRequest) {
  char text[VELDC_REPLY_SIZE];
  CancelOperation();
  EXPECT_EQ(vp.Wakes(), 1) << "a wait in progress is woken";
  EXPECT_EQ(Outcome(SendCommand("V", text)), "-1 40 No reply from terminal");  // not a wait
  const auto start = vp.Now();
  EXPECT_EQ(Outcome(GetMsgEx(text)), "-1 61 Operation cancelled");
  EXPECT_LT(vp.Now() - start, 100000u);
  EXPECT_EQ(Outcome(GetMsgEx(text)), "-1 40 No reply from terminal");  // taken once
  EXPECT_GE(vp.Now() - start, 1000000u);
  // A request left over when the device closes, or made while it is closed, does not reach
  // the next session.
  for (const bool whileClosed : {false, true}) {
    if (whileClosed) ExitCOMM();
    CancelOperation();
    if (!whileClosed) ExitCOMM();
    Select(DEV_SERIAL_DIRECT, 0);
    EXPECT_EQ(Outcome(GetMsgEx(text)), "-1 40 No reply from terminal") << whileClosed;
  }
}

}  // namespace
}  // namespace veldc::test
