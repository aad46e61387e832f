// Downloads: the record reader, the load commands on the wire, each failure's clean-up on
// the terminal, the 10,000-record limit and a download through the Kov74 driver.
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "platform/platform.h"
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

TEST_F(Download, RefusedArgumentsCauseNoTraffic) {
  const struct {
    const char *name;
    int p, option;
  } cases[] = {{"DATA", 2, 0},      {"DATA", -1, 0},  {"DATA", 0, 128},
               {"DATA", 0, -1},     {"DA TA", 0, 0},  {"", 0, 0},
               {"ABCDEFGHI", 0, 0}, {"AB\x80", 0, 0}, {"AB\t", 0, 0}};
  for (const auto &c : cases) {
    EXPECT_EQ(Outcome(Send("AB\r\n", c.name, c.p, c.option)), "-1 3 Wrong parameters") << c.name;
  }
  char name[] = "DATA";
  EXPECT_EQ(Outcome(SendFile(nullptr, name, 0, 0)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(SendPrg(nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(Written(), "");
  ChgTerminal(255);  // refused: leaves no terminal selected
  EXPECT_EQ(Outcome(Send("AB\r\n")), "-1 4 No terminal selected");
  EXPECT_EQ(Outcome(SendProgram("AB\r\n")), "-1 4 No terminal selected");
  ExitCOMM();
  EXPECT_EQ(Outcome(SendFile("x", nullptr, 0, 0)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(Send("AB\r\n")), "-1 2 Device not initialized");
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

}  // namespace
}  // namespace veldc::test
