// Upload: records into the PC file, the end line's count and checksum, what happens to the
// PC file on each failure, the 10,000-record limit and the progress figures.
#include <string>
#include <vector>

#include "protocol/exchange.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

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

TEST_F(Upload, RefusedArguments) {
  char empty[] = "";
  char nine[] = "abcdefghi";
  for (char *name : {empty, nine, static_cast<char *>(nullptr)}) {
    EXPECT_EQ(Outcome(RecvFile(name, files.Path("out.txt").c_str())), "-1 3 Wrong parameters");
  }
  char name[] = "data";
  EXPECT_EQ(Outcome(RecvFile(name, nullptr)), "-1 3 Wrong parameters");
  EXPECT_STREQ(nine, "abcdefghi");
  ChgTerminal(255);
  EXPECT_EQ(Outcome(Receive()), "-1 4 No terminal selected");
  ExitCOMM();
  EXPECT_EQ(Outcome(Receive()), "-1 2 Device not initialized");
  EXPECT_TRUE(Heard().empty());
  EXPECT_FALSE(files.Exists("out.txt"));
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
