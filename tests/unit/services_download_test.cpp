// Downloads: the record reader, the load commands on the wire, each failure's clean-up on
// the terminal, the 10,000-record limit and a download through the Kov74 driver.
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "platform/platform.h"
#include "services/record_reader.h"
#include "support/services_terminal.h"

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

  VirtualPlatform vp;
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

TEST_F(RecordReader, AFailedReadIsError58) {
  vp.Fail(Call::FileRead, 4);
  EXPECT_EQ(ReadAll("AB\r\nCD\r\n"), (Records{{2, "AB"}, {-1, "58 Error reading record"}}));
}

// A fault of the terminal's load (field and value), or of a PC file call (on its nth call).
struct LoadFault {
  int LoadTerminal::*field;
  int value;
  Call call;
  int nth;
};
constexpr LoadFault Terminal(int LoadTerminal::*field, int value) { return {field, value, {}, 0}; }
constexpr LoadFault PcFile(Call call, int nth) { return {nullptr, 0, call, nth}; }

class Download : public ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    Answer(&terminal);
  }
  int Send(const std::string &content, const char *name = "data", int p = 0, int option = 0) {
    files.Write("in.txt", content);
    std::string terminalName = name;
    return SendFile(files.Path("in.txt").c_str(), terminalName.data(), p, option);
  }
  int SendProgram(const std::string &content) {
    files.Write("prg.txt", content);
    return SendPrg(files.Path("prg.txt").c_str());
  }
  static std::string Numbered(int count) {
    std::string content;
    for (int i = 1; i <= count; ++i) content += "R" + std::to_string(i) + "\r\n";
    return content;
  }
  using Heard_ = std::vector<std::string>;
  // A fresh terminal with `fault`.
  void Arrange(const LoadFault &fault) {
    terminal = LoadTerminal();
    if (fault.field != nullptr) terminal.*fault.field = fault.value;
    if (fault.nth != 0) vp.Fail(fault.call, fault.nth);
  }

  LoadTerminal terminal;
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

TEST_F(Download, FileLoadFailuresDeleteThePartialFile) {
  const std::string tooLong = "AB\r\n" + std::string(128, 'z') + "\r\n";
  const struct {
    std::string content;
    LoadFault fault;
    const char *state;
    Heard_ heard;
  } cases[] = {
      {tooLong, PcFile({}, 0), "57 Record too long", {"LOAD DATA", "AB", kEot, "DEL DATA"}},
      {"AB\r\nCD\r\n",
       PcFile(Call::FileRead, 4),
       "58 Error reading record",
       {"LOAD DATA", "AB", kEot, "DEL DATA"}},
      {"AB\r\nCD\r\nEF\r\n",
       Terminal(&LoadTerminal::wrongEchoAt, 2),
       "59 Error sending record",
       {"LOAD DATA", "AB", "CD", kEot, "DEL DATA"}},
      {"AB\r\nCD\r\n",
       Terminal(&LoadTerminal::silentAt, 1),
       "40 No reply from terminal",
       {"LOAD DATA", "AB", kEot, "DEL DATA"}},
      {"AB\r\nCD\r\n",
       Terminal(&LoadTerminal::countOffset, 1),
       "60 Records number does not match",
       {"LOAD DATA", "AB", "CD", kEot}},
      {"AB\r\n",
       PcFile(Call::FileOpenRead, 1),
       "56 Not able to open file",
       {"LOAD DATA", kEot, "DEL DATA"}},
      {"AB\r\n",
       PcFile(Call::FileClose, 1),
       "67 Not able to close file",
       {"LOAD DATA", "AB", kEot}},
      {"AB\r\n",
       Terminal(&LoadTerminal::silentEots, 2),
       "45 EOT command ignored",
       {"LOAD DATA", "AB", kEot, kEot, kEot, "DEL DATA"}},
  };
  for (const auto &c : cases) {
    Arrange(c.fault);
    const size_t before = Heard().size();
    EXPECT_EQ(Outcome(Send(c.content)), std::string("-1 ") + c.state);
    EXPECT_EQ(Heard_(Heard().begin() + before, Heard().end()), c.heard) << c.state;
    EXPECT_EQ(files.Read("in.txt"), c.content) << c.state;
  }
}

TEST_F(Download, LoadClosedOnTheSecondOrThirdTry) {
  terminal.silentEots = 1;  // the line fetch after the silent EOT gets nothing either
  EXPECT_EQ(Send("AB\r\n"), 1) << ErrorState();
  EXPECT_EQ(Heard(), (Heard_{"LOAD DATA", "AB", kEot, kEot}));
}

TEST_F(Download, ALateCountIsPickedUpByTheLineFetch) {
  Answer([this](const std::string &line) -> std::optional<std::string> {
    if (line != kEot) return terminal.Answer(line);
    peer.SendLater("1\r", 6000000);  // after the EOT exchange's 5 s
    return std::nullopt;
  });
  EXPECT_EQ(Send("AB\r\n"), 1) << ErrorState();
  EXPECT_EQ(Heard(), (Heard_{"LOAD DATA", "AB", kEot}));
}

TEST_F(Download, SendsEachRecordOrClosesAnEmptyLoadAtOnce) {
  EXPECT_EQ(Send(kCtrlZ + "AB\r\n"), 0) << ErrorState();
  terminal = LoadTerminal();
  char name[] = "data";
  files.Write("in.txt", "AB\r\r\nCD");
  EXPECT_EQ(SendFile(files.Path("in.txt").c_str(), name, 0, 0), 3) << ErrorState();
  EXPECT_STREQ(name, "DATA");
  EXPECT_EQ(Written(), "LOAD DATA\r\x04\rLOAD DATA\rAB\r\rCD\r\x04\r");
  EXPECT_EQ(files.Read("in.txt"), "AB\r\r\nCD");
}

// The load ends with the record that takes the count past 10,000; a file that goes on is
// refused with the usual clean-up instead of being cut short.
TEST_F(Download, TenThousandAndOneRecordsAtMost) {
  const struct {
    bool program;
    int records;
    const char *outcome;
    Heard_ tail;
  } cases[] = {
      {false, 10001, "10001 0 None", {"R10000", "R10001", kEot}},
      {false, 10005, "-1 64 Records number overflow", {"R10001", kEot, "DEL DATA"}},
      {true, 10002, "-1 64 Records number overflow", {"R10001", "STOP DOWNLOADING", kEot}},
  };
  for (const auto &c : cases) {
    terminal = LoadTerminal();
    const std::string content = Numbered(c.records);
    EXPECT_EQ(Outcome(c.program ? SendProgram(content) : Send(content)), c.outcome) << c.records;
    EXPECT_EQ(Heard_(Heard().end() - 3, Heard().end()), c.tail) << c.records;
  }
}

TEST_F(Download, ProgramLoad) {
  EXPECT_EQ(SendProgram("10 PRINT\r\n20 END\r\n"), 2) << ErrorState();
  EXPECT_EQ(Written(), "%XI\rLOADP PROGRAM\r10 PRINT\r20 END\r\x04\r");
}

TEST_F(Download, ProgramLoadFailures) {
  const LoadFault none = PcFile({}, 0);
  const struct {
    std::string ramCard;
    LoadFault fault;
    std::string content;
    const char *outcome;
    Heard_ heard;
  } cases[] = {
      {"Veld X", none, "A\r\n", "-1 69 Bad RAM-Card format", {"%XI"}},
      {"", none, "A\r\n", "-1 69 Bad RAM-Card format", {"%XI"}},
      {"Qyr P", none, "A\r\n", "1 0 None", {"%XI", "LOADP PROGRAM", "A", kEot}},
      {"Veld F",
       Terminal(&LoadTerminal::refuseLoad, 1),
       "A\r\n",
       "-1 55 Load command ignored",
       {"%XI", "LOADP PROGRAM"}},
      {"Veld F",
       Terminal(&LoadTerminal::wrongEchoAt, 1),
       "A\r\n",
       "-1 59 Error sending record",
       {"%XI", "LOADP PROGRAM", "A", "STOP DOWNLOADING", kEot}},
      {"Veld F",
       Terminal(&LoadTerminal::countOffset, -1),
       "A\r\nB\r\n",
       "-1 60 Records number does not match",
       {"%XI", "LOADP PROGRAM", "A", "B", kEot, "STOP DOWNLOADING", kEot}},
      {"Veld F",
       Terminal(&LoadTerminal::silentEots, 2),
       "A\r\n",
       "-1 45 EOT command ignored",
       {"%XI", "LOADP PROGRAM", "A", kEot, kEot, "STOP DOWNLOADING", kEot}},
      {"Veld F",
       PcFile(Call::FileOpenRead, 1),
       "A\r\n",
       "-1 56 Not able to open file",
       {"%XI", "LOADP PROGRAM", "STOP DOWNLOADING", kEot}},
      {"Veld F",
       PcFile(Call::FileClose, 1),
       "A\r\n",
       "-1 67 Not able to close file",
       {"%XI", "LOADP PROGRAM", "A", kEot}},
  };
  for (const auto &c : cases) {
    Arrange(c.fault);
    terminal.ramCard = c.ramCard;
    const size_t before = Heard().size();
    EXPECT_EQ(Outcome(SendProgram(c.content)), c.outcome) << c.ramCard;
    EXPECT_EQ(Heard_(Heard().begin() + before, Heard().end()), c.heard) << c.outcome;
  }
}

using KovDownload = Kov74Test;

TEST_F(KovDownload, RecordsGoThroughTheDriver) {
  Open(DEV_KOV74_MODE0);
  LoadTerminal terminal;
  driver.responder = [&terminal](int address, const std::string &text) {
    std::vector<std::pair<int, std::string>> replies;
    if (auto answer = terminal.Answer(text)) replies.emplace_back(address, *answer);
    return replies;
  };
  ASSERT_EQ(ChgTerminal(5), 0);
  TempDir files;
  files.Write("in.txt", "AB\r\nCD\r\n");
  char name[] = "kov";
  EXPECT_EQ(SendFile(files.Path("in.txt").c_str(), name, 1, 3), 2) << ErrorState();
  using Sent = std::vector<std::pair<int, std::string>>;
  EXPECT_EQ(driver.sent, (Sent{{5, "LOAD KOV P3"}, {5, "AB"}, {5, "CD"}, {5, kEot}}));

  // 121 characters are too long for the driver: refused with the usual clean-up.
  driver.sent.clear();
  terminal = LoadTerminal();
  files.Write("in.txt", std::string(121, 'k') + "\r\n");
  EXPECT_EQ(Outcome(SendFile(files.Path("in.txt").c_str(), name, 0, 0)), "-1 3 Wrong parameters");
  EXPECT_EQ(driver.sent, (Sent{{5, "LOAD KOV"}, {5, kEot}, {5, "DEL KOV"}}));
}

}  // namespace
}  // namespace veldc::test
