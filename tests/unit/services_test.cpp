// The terminal services on the direct line: downloads and the record reader, drive, directory,
// view and delete, the clock and the parameters, uploads; argument checks before any traffic,
// the commands on the wire, echo acceptance, the codes of each refusal and the clean-up after it.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "platform/platform.h"
#include "protocol/exchange.h"
#include "services/files.h"
#include "services/record_reader.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using Records = std::vector<std::pair<int, std::string>>;

// The end-of-file mark of a DOS text file.
const std::string kCtrlZ = "\x1A";

class RecordReader : public ::testing::Test {
 protected:
  // Every result of the reader up to 0 or -1; -1 comes with the error state.
  Records ReadAll(const std::string &content) {
    files.Write("in.txt", content);
    const platform::Handle file = platform::Os().FileOpenRead(files.Path("in.txt").c_str());
    EXPECT_NE(file, platform::kInvalidHandle);
    Records out;
    char record[132];
    for (int guard = 0; guard < 100; ++guard) {
      const int r = services::ReadRecord(file, record);
      out.emplace_back(r, r > 0 ? std::string(record) : r < 0 ? ErrorState() : "");
      if (r <= 0) break;
    }
    platform::Os().FileClose(file);
    return out;
  }

  TestPlatform vp;
  TempDir files;
};

TEST_F(RecordReader, SplitsTheFileIntoRecords) {
  const std::string r127(127, 'x');
  const struct {
    const char *name;
    std::string content;
    Records expected;
  } cases[] = {
      {"CR LF, no final line end", "AB\r\nCD", {{2, "AB"}, {2, "CD"}, {0, ""}}},
      {"LF only", "AB\nCD\n", {{6, "AB\nCD\n"}, {0, ""}}},
      {"leading LFs skipped", "\n\nAB\r", {{2, "AB"}, {0, ""}}},
      {"Ctrl-Z first", kCtrlZ + "AB\r\n", {{0, ""}}},
      {"Ctrl-Z mid-record", "AB" + kCtrlZ + "CD\r\n", {{2, "AB"}, {2, "CD"}, {0, ""}}},
      {"Ctrl-Z after a line end", "AB\r\n" + kCtrlZ + "CD\r\n", {{2, "AB"}, {0, ""}}},
      {"two CRs", "AB\r\rCD\r", {{2, "AB"}, {1, ""}, {2, "CD"}, {0, ""}}},
      {"blank CR LF line", "AB\r\n\r\nCD\r\n", {{2, "AB"}, {1, ""}, {2, "CD"}, {0, ""}}},
      {"127 characters", r127 + "\r\n", {{127, r127}, {0, ""}}},
      {"128 characters", r127 + "y\r\n", {{-1, "57 Record too long"}}},
      {"LF-only past 127",
       std::string(70, 'a') + "\n" + std::string(70, 'b') + "\n",
       {{-1, "57 Record too long"}}},
      {"other bytes kept", "\x01\xFF\t\r", {{3, "\x01\xFF\t"}, {0, ""}}},
      {"empty file", "", {{0, ""}}},
  };
  for (const auto &c : cases) EXPECT_EQ(ReadAll(c.content), c.expected) << c.name;
}

using Services = ServicesTest;

// The argument checks of every service before any traffic, and their order: each row's
// outcomes ("result code") with the device closed, open with no terminal selected and with
// terminal 0 selected ("" = not looked at).
TEST_F(Services, ChecksComeFirstAndCauseNoTraffic) {
  char name[] = "data", nine[] = "abcdefghi", empty[] = "", bad[] = "D";
  char text[VELDC_REPLY_SIZE], entries[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT];
  const std::string in = files.Path("in.txt"), out = files.Path("out.txt");
  const std::string v32(32, 'v'), v33(33, 'v');
  files.Write("in.txt", "AB\r\n");
  const auto load = [&](const char *n, int p, int option) {
    std::string terminal = n;
    return SendFile(in.c_str(), terminal.data(), p, option);
  };
  const struct {
    const char *what;
    std::function<int()> call;
    const char *closed, *unselected, *selected;
  } cases[] = {
      {"load", [&] { return load("DATA", 0, 0); }, "-1 2", "-1 4", ""},
      {"load p 2", [&] { return load("DATA", 2, 0); }, "", "", "-1 3"},
      {"load p -1", [&] { return load("DATA", -1, 0); }, "", "", "-1 3"},
      {"load option 128", [&] { return load("DATA", 0, 128); }, "", "", "-1 3"},
      {"load option -1", [&] { return load("DATA", 0, -1); }, "", "", "-1 3"},
      {"load blank", [&] { return load("DA TA", 0, 0); }, "", "", "-1 3"},
      {"load empty", [&] { return load("", 0, 0); }, "", "", "-1 3"},
      {"load nine", [&] { return load("ABCDEFGHI", 0, 0); }, "", "", "-1 3"},
      {"load 0x80", [&] { return load("AB\x80", 0, 0); }, "", "", "-1 3"},
      {"load tab", [&] { return load("AB\t", 0, 0); }, "", "", "-1 3"},
      {"load no file", [&] { return SendFile(nullptr, name, 0, 0); }, "", "", "-1 3"},
      {"load no name", [&] { return SendFile("x", nullptr, 0, 0); }, "-1 3", "", ""},
      {"program", [&] { return SendPrg(in.c_str()); }, "", "-1 4", ""},
      {"program no file", [] { return SendPrg(nullptr); }, "", "", "-1 3"},
      {"upload", [&] { return RecvFile(name, out.c_str()); }, "-1 2", "-1 4", ""},
      {"upload empty", [&] { return RecvFile(empty, out.c_str()); }, "", "", "-1 3"},
      {"upload nine", [&] { return RecvFile(nine, out.c_str()); }, "", "", "-1 3"},
      {"upload no name", [&] { return RecvFile(nullptr, out.c_str()); }, "", "", "-1 3"},
      {"upload no file", [&] { return RecvFile(name, nullptr); }, "", "", "-1 3"},
      {"drive", [] { return ChgDrv(nullptr); }, "-1 2", "", "-1 3"},
      {"drive D", [&] { return ChgDrv(bad); }, "", "", "-1 3"},
      {"drive a", [] { return ChgDrv("a"); }, "", "", "-1 3"},
      {"drive empty", [] { return ChgDrv(""); }, "", "", "-1 3"},
      {"drive blank", [] { return ChgDrv(" A"); }, "", "", "-1 3"},
      {"delete", [&] { return DeleFile(name); }, "-1 2", "", ""},
      {"delete null", [] { return DeleFile(nullptr); }, "-1 3", "", "-1 3"},
      {"delete empty", [&] { return DeleFile(empty); }, "", "", "-1 3"},
      {"delete nine", [&] { return DeleFile(nine); }, "", "", "-1 3"},
      {"list", [] { return ListFiles(nullptr, nullptr); }, "-1 2", "", "-1 3"},
      {"list nine", [&] { return ListFiles(nine, entries); }, "", "", "-1 3"},
      {"view", [&] { return ViewFile(name, text, 64); }, "-1 2", "", ""},
      {"view null", [&] { return ViewFile(nullptr, text, 64); }, "-1 3", "", ""},
      {"view 32768", [&] { return ViewFile(name, text, 32768); }, "", "", "-1 3"},
      {"view nine", [&] { return ViewFile(nine, text, 64); }, "", "", "-1 3"},
      {"view no buffer", [&] { return ViewFile(name, nullptr, 64); }, "", "", "-1 3"},
      {"set time", [] { return SetTime("99"); }, "-1 2", "-1 4", "-1 3"},
      {"set time null", [] { return SetTime(nullptr); }, "-1 3", "", ""},
      {"set date", [] { return SetDate("3000101"); }, "", "-1 4", ""},
      {"set date 99", [] { return SetDate("99"); }, "-1 2", "", "-1 3"},
      {"set date null", [] { return SetDate(nullptr); }, "-1 3", "", ""},
      {"get time", [&] { return GetTime(text); }, "", "-1 4", ""},
      {"get time null", [] { return GetTime(nullptr); }, "-1 3", "", ""},
      {"get date", [&] { return GetDate(text); }, "-1 2", "", ""},
      {"get parameter 100", [&] { return GetParameter(100, text); }, "", "", "-1 3"},
      {"get parameter -1", [&] { return GetParameter(-1, text); }, "", "", "-1 3"},
      {"get parameter null", [] { return GetParameter(0, nullptr); }, "-1 3", "", ""},
      {"set parameter 100", [] { return SetParameter(100, "x"); }, "", "", "-1 3"},
      {"set parameter 33", [&] { return SetParameter(5, v33.c_str()); }, "-1 3", "", "-1 3"},
      {"set parameter 32", [&] { return SetParameter(5, v32.c_str()); }, "-1 2", "", ""},
  };
  ASSERT_EQ(ExitCOMM(), 0);
  for (int state = 0; state < 3; ++state) {
    if (state == 1) Open(DEV_SERIAL_DIRECT);
    if (state == 2) ChgTerminal(0);
    for (const auto &c : cases) {
      const char *expected = state == 0 ? c.closed : state == 1 ? c.unselected : c.selected;
      if (*expected == '\0') continue;
      const int r = c.call();
      EXPECT_EQ(std::to_string(r) + " " + std::to_string(nErrorCode), expected)
          << c.what << " in state " << state;
    }
  }
  EXPECT_TRUE(Heard().empty());
  EXPECT_STREQ(nine, "abcdefghi") << "a refused name is not turned to capitals";
  EXPECT_EQ(files.Read("in.txt"), "AB\r\n");
  EXPECT_FALSE(files.Exists("out.txt"));
}

// A fault of the terminal's load, or of a PC file call, at its nth step.
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
  int SendProgram(const std::string &content) {
    files.Write("prg.txt", content);
    return SendPrg(files.Path("prg.txt").c_str());
  }
  // The outcome of a file (or program) load with a fresh terminal and `fault` at step n;
  // Written() holds the load's bytes.
  std::string Load(bool program, const std::string &content, Fault fault = kNone, int n = 0) {
    terminal = LoadTerminal();
    using T = LoadTerminal;
    int T::*const faults[] = {nullptr,         &T::wrongEchoAt, &T::silentAt,
                              &T::countOffset, &T::silentEots,  &T::refuseLoad};
    const Call calls[] = {Call::FileRead, Call::FileOpenRead, Call::FileClose};
    if (fault >= kRead) vp.Fail(calls[fault - kRead], n);
    if (fault != kNone && fault < kRead) terminal.*faults[fault] = n;
    vp.ClearWritten();
    return Outcome(program ? SendProgram(content) : Send(content));
  }

  LoadTerminal terminal;
  std::string terminalName;  // as the last file load left it
};

TEST_F(Download, LoadCommandCarriesTheOptions) {
  const struct {
    int p, option;
    const char *command;
  } cases[] = {{0, 0, "LOAD DATA"},
               {1, 0, "LOAD DATA P"},
               {0, 12, "LOAD DATA 12"},
               {1, 12, "LOAD DATA P12"},
               {1, 127, "LOAD DATA P127"}};
  terminal.refuseLoad = true;
  for (const auto &c : cases) {
    vp.ClearWritten();
    EXPECT_EQ(Outcome(Send("AB\r\n", "Data", c.p, c.option)), "-1 55 Load command ignored");
    EXPECT_EQ(Written(), std::string(c.command) + "\r");  // nothing after a refusal
  }
}

// Each record is sent as read; a failed file load deletes the partial file, a failed program
// load tells the terminal to stop; the PC file is never changed.
TEST_F(Download, LoadsAndTheirCleanUp) {
  const std::string two = "AB\r\nCD\r\n", tooLong = "AB\r\n" + std::string(128, 'z') + "\r\n";
  const struct {
    bool program;
    std::string content;
    Fault fault;
    int n;
    const char *outcome, *written;
  } cases[] = {
      {false, kCtrlZ + "AB\r\n", kNone, 0, "0 0 None", "LOAD DATA\r\x04\r"},  // closed at once
      {false, "AB\r\r\nCD", kNone, 0, "3 0 None", "LOAD DATA\rAB\r\rCD\r\x04\r"},
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
      {true, "A\r\n", kEots, 2, "-1 45 EOT command ignored",
       "%XI\rLOADP PROGRAM\rA\r\x04\r\x04\rSTOP DOWNLOADING\r\x04\r"},
      {true, "A\r\n", kOpen, 1, "-1 56 Not able to open file",
       "%XI\rLOADP PROGRAM\rSTOP DOWNLOADING\r\x04\r"},
      {true, "A\r\n", kClose, 1, "-1 67 Not able to close file", "%XI\rLOADP PROGRAM\rA\r\x04\r"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Load(c.program, c.content, c.fault, c.n), c.outcome) << c.written;
    EXPECT_EQ(Written(), c.written) << c.outcome;
    EXPECT_EQ(files.Read(c.program ? "prg.txt" : "in.txt"), c.content) << c.outcome;
    if (!c.program) {
      EXPECT_EQ(terminalName, "DATA");
    }
  }
}

TEST_F(Download, ALateCountIsPickedUpByTheLineFetch) {
  Answer([this](const std::string &line) -> std::optional<std::string> {
    if (line != kEot) return terminal.Answer(line);
    peer.SendLater("1\r", 6000000);  // after the EOT exchange's 5 s
    return std::nullopt;
  });
  EXPECT_EQ(Send("AB\r\n"), 1) << ErrorState();
  EXPECT_EQ(Heard(), (Lines{"LOAD DATA", "AB", kEot}));
}

// The load ends with the record that takes the count past 10,000; a file that goes on is
// refused with the usual clean-up instead of being cut short.
TEST_F(Download, TenThousandAndOneRecordsAtMost) {
  const struct {
    bool program;
    int records;
    const char *outcome;
    Lines tail;
  } cases[] = {
      {false, 10001, "10001 0 None", {"R10000", "R10001", kEot}},
      {false, 10005, "-1 64 Records number overflow", {"R10001", kEot, "DEL DATA"}},
      {true, 10002, "-1 64 Records number overflow", {"R10001", "STOP DOWNLOADING", kEot}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Load(c.program, Numbered(c.records)), c.outcome) << c.records;
    EXPECT_EQ(Lines(Heard().end() - 3, Heard().end()), c.tail) << c.records;
  }
}

TEST_F(Download, ProgramLoadNeedsAnFOrPRamCard) {
  for (const char *card : {"Veld X", "", "Qyr P"}) {
    terminal = LoadTerminal();
    terminal.ramCard = card;
    vp.ClearWritten();
    const bool taken = card[0] == 'Q';
    EXPECT_EQ(Outcome(SendProgram("A\r\n")), taken ? "1 0 None" : "-1 69 Bad RAM-Card format");
    EXPECT_EQ(Written(), taken ? "%XI\rLOADP PROGRAM\rA\r\x04\r" : "%XI\r") << card;
  }
}

using KovDownload = Kov74Test;

TEST_F(KovDownload, RecordsGoThroughTheDriver) {
  Open(DEV_KOV74_MODE0);
  LoadTerminal terminal;
  driver.responder = [&terminal](int address, const std::string &text) {
    Records replies;
    if (auto answer = terminal.Answer(text)) replies.emplace_back(address, *answer);
    return replies;
  };
  ASSERT_EQ(ChgTerminal(5), 0);
  TempDir files;
  files.Write("in.txt", "AB\r\nCD\r\n");
  char name[] = "kov";
  EXPECT_EQ(SendFile(files.Path("in.txt").c_str(), name, 1, 3), 2) << ErrorState();
  EXPECT_EQ(driver.sent, (Records{{5, "LOAD KOV P3"}, {5, "AB"}, {5, "CD"}, {5, kEot}}));

  // 121 characters are too long for the driver: refused with the usual clean-up.
  driver.sent.clear();
  terminal = LoadTerminal();
  files.Write("in.txt", std::string(121, 'k') + "\r\n");
  EXPECT_EQ(Outcome(SendFile(files.Path("in.txt").c_str(), name, 0, 0)), "-1 3 Wrong parameters");
  EXPECT_EQ(driver.sent, (Records{{5, "LOAD KOV"}, {5, kEot}, {5, "DEL KOV"}}));
}

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
}

TEST_F(Files, DeleteFile) {
  Answer([](const std::string &line) { return line == "DEL KEEP" ? "DEL ??" : line; });
  char name[] = "data1";
  EXPECT_EQ(DeleFile(name), 0) << ErrorState();
  EXPECT_STREQ(name, "DATA1");
  EXPECT_EQ(Heard().back(), "DEL DATA1");
  char keep[] = "keep";
  EXPECT_EQ(Outcome(DeleFile(keep)), "-1 65 Del command ignored");
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
  char value[VELDC_REPLY_SIZE];
  peer.Reply("CFG 05 Y\r");
  EXPECT_EQ(Outcome(SetParameter(5, "y")), "-1 51 Configuration command ignored");
  EXPECT_EQ(Outcome(GetParameter(5, value)), "-1 40 No reply from terminal");  // silence
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
  int Receive(const char *name = "data") {
    std::string terminalName = name;
    return RecvFile(terminalName.data(), files.Path("out.txt").c_str());
  }
};

TEST_F(Upload, EndLineIsJudged) {
  const std::string z127(127, 'z');  // 127 * 122 = 15494
  const struct {
    const char *name;
    std::string body;
    int result;
    const char *state;
  } cases[] = {
      {"count only", "AB\rCD\r" + kEot + "2\r", 2, "0 None"},
      {"empty file", kEot + "0\r", 0, "0 None"},
      {"bad checksum", "AB\rCD\r" + kEot + "2 RECS 267\r", -1, "68 Bad file checksum"},
      {"bad count", "AB\rCD\r" + kEot + "3 RECS 266\r", -1, "60 Records number does not match"},
      {"signed bytes", "\xFF\xFF\rA\r" + kEot + "2 RECS 63\r", 2, "0 None"},
      {"checksum modulo 32768", z127 + "\r" + z127 + "\r" + z127 + "\r" + kEot + "3 RECS 13714\r",
       3, "0 None"},
  };
  for (const auto &c : cases) {
    Types(c.body);
    char name[] = "data";
    EXPECT_EQ(RecvFile(name, files.Path("out.txt").c_str()), c.result) << c.name;
    EXPECT_STREQ(name, "DATA");
    EXPECT_EQ(ErrorState(), c.state) << c.name;
    // On success and on both mismatches the file holds every record received.
    std::string expected;
    for (size_t at = 0; c.body[at] != '\x04';) {
      const size_t cr = c.body.find('\r', at);
      expected += c.body.substr(at, cr - at) + "\r\n";
      at = cr + 1;
    }
    EXPECT_EQ(files.Read("out.txt"), expected) << c.name;
  }
  EXPECT_EQ(Heard(), Lines(6, "TYPE DATA"));  // the end line closes the transfer
}

TEST_F(Upload, FailuresEndTheTransferAndDeleteThePcFile) {
  const struct {
    const char *name;
    std::string typed;  // the terminal's bytes after "TYPE", as sent
    bool failWrite;
    const char *state;
  } cases[] = {
      {"type refused", "TYPE ??\r", false, "62 Send command ignored"},
      {"type unanswered", "", false, "40 No reply from terminal"},
      {"silence mid-file", "TYPE DATA\rAB\r", false, "40 No reply from terminal"},
      {"line never ends", "TYPE DATA\rAB\rCD", false, "35 Bad RS232 end of record"},
      {"write fails", "TYPE DATA\rAB\rCD\r" + kEot + "2\r", true, "94 Error writing record"},
  };
  for (const auto &c : cases) {
    peer.Reply(c.typed);
    peer.Reply("\x04*\r");
    if (c.failWrite) vp.Fail(Call::FileWrite, 2);
    const size_t before = Heard().size();
    EXPECT_EQ(Outcome(Receive()), std::string("-1 ") + c.state) << c.name;
    EXPECT_EQ(HeardSince(before), (Lines{"TYPE DATA", kEot})) << c.name;
    EXPECT_FALSE(files.Exists("out.txt")) << c.name;
  }
}

TEST_F(Upload, PcFileProblems) {
  files.Write("out.txt", "old content");
  vp.Fail(Call::FileCreate);
  EXPECT_EQ(Outcome(Receive()), "-1 56 Not able to open file");
  EXPECT_TRUE(Heard().empty());
  EXPECT_EQ(files.Read("out.txt"), "old content");

  Types("AB\r" + kEot + "1\r");
  vp.Fail(Call::FileClose);
  EXPECT_EQ(Outcome(Receive()), "-1 67 Not able to close file");
  EXPECT_EQ(files.Read("out.txt"), "AB\r\n");
}

TEST_F(Upload, LinesWaitTheSerialTimeOut) {
  ASSERT_EQ(Set232TimeOut(3), 0);
  Types("AB\r");
  const Micros start = vp.Now();
  EXPECT_EQ(Outcome(Receive()), "-1 40 No reply from terminal");
  // The "TYPE" exchange (answered at once), 3 s for the silent line, then EndTransfer.
  const Micros eot = WriteTime("\x04\r");
  EXPECT_GE(eot - start, 3 * kSecond);
  EXPECT_LT(eot - start, 3 * kSecond + kSecond / 2);
}

TEST_F(Upload, TenThousandRecordsAndNoMore) {
  Types(Numbered(10000, "\r") + kEot + "10000\r");
  EXPECT_EQ(Receive(), 10000) << ErrorState();

  // The 10,001st record is judged as the end line, and fails even when it reads like one
  // that matches; the terminal is told to stop.
  Types(Numbered(10000, "\r") + "X10000\rR10002\r" + kEot + "10002\r");
  EXPECT_EQ(Outcome(Receive()), "-1 60 Records number does not match");
  EXPECT_EQ(Heard().back(), kEot);
  // The PC file is kept, closed, with the first 10,000 records.
  EXPECT_EQ(files.Read("out.txt"), Numbered(10000));
  EXPECT_EQ(vp.LogOf(Call::FileClose).size(), 2u);
}

// The progress figures: the directory's number, doubled for "PRE" names, or per record on
// a Sorvik terminal.
class UploadMeter : public Upload {
 protected:
  void SetUp() override {
    Upload::SetUp();
    EnableMeter(1);
  }
  // (records, total, step) of each update, from the item texts and progress messages.
  std::vector<std::vector<int64_t>> Updates() const {
    std::vector<std::vector<int64_t>> out;
    const auto items = vp.LogOf(Call::MeterSetItemInt);
    const auto steps = vp.LogOf(Call::MeterSendProgress);
    for (size_t i = 0; i < steps.size(); ++i) {
      out.push_back({items[2 * i].b, items[2 * i + 1].b, steps[i].b});
    }
    return out;
  }
};

TEST_F(UploadMeter, TotalFromTheDirectoryEntry) {
  const struct {
    bool sorvik;
    const char *name;
    std::string dir;
    int64_t total;
  } cases[] = {{false, "log", "DIR LOG      120", 120},
               {false, "PREFIX", "DIR PREFIX   120", 240},
               {false, "prefix", "DIR PREFIX   120", 120},
               {false, "x", "DIR X", 0},
               // The entry comes in a listing; the total is set at the first record.
               {true, "log", "DIR LOG     \rLOG       50\rOTHER     99\r" + kEot + "2", 250}};
  for (const auto &c : cases) {
    protocol::bSorvikModel = c.sorvik;
    vp.ClearLog();
    Types("ABC\rDE\r" + kEot + "2\r", c.dir);
    const size_t before = Heard().size();
    EXPECT_EQ(Receive(c.name), 2) << c.name;
    std::string padded = c.name;
    padded.resize(8, ' ');
    for (auto &ch : padded) ch = static_cast<char>(std::toupper(ch));
    EXPECT_EQ(Heard()[before], "DIR " + padded) << c.name;
    EXPECT_EQ(Updates(), (std::vector<std::vector<int64_t>>{{1, c.total, 4}, {2, c.total, 3}}))
        << c.name;
    EXPECT_EQ(vp.LogOf(Call::MeterCreate).size(), 1u);
    EXPECT_EQ(vp.LogOf(Call::MeterDestroy).size(), 1u);
  }
}

TEST_F(UploadMeter, FailuresCloseTheMeterOrNeverOpenIt) {
  Types("ABC\r", "NO");
  EXPECT_EQ(Outcome(Receive("log")), "-1 52 Dir command ignored");
  EXPECT_EQ(Heard(), (Lines{"DIR LOG     ", kEot}));
  EXPECT_FALSE(files.Exists("out.txt"));
  EXPECT_TRUE(vp.LogOf(Call::MeterCreate).empty());

  Types("ABC\r", "DIR LOG      9");  // then silence
  EXPECT_EQ(Outcome(Receive("log")), "-1 40 No reply from terminal");
  EXPECT_EQ(vp.LogOf(Call::MeterCreate).size(), 1u);
  EXPECT_EQ(vp.LogOf(Call::MeterDestroy).size(), 1u);
  EXPECT_EQ(vp.OpenMeterCount(), 0);

  // With the meter off there is no lookup, so a terminal refusing it delivers the file.
  EnableMeter(0);
  Types("ABC\r" + kEot + "1\r", "NO");
  EXPECT_EQ(Receive("log"), 1) << ErrorState();
  EXPECT_EQ(Heard().back(), "TYPE LOG");
  EXPECT_EQ(vp.LogOf(Call::MeterCreate).size(), 1u);
}

}  // namespace
}  // namespace veldc::test
