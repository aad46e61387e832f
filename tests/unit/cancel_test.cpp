// The host's cancel request: taken at the next boundary of a transfer, listing or wait, which
// then cleans up as its own failures do and reports 61; the OS detail behind a failure.
#include <functional>
#include <string>

#include "core/errors.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

class Cancel : public ServicesTest {
 protected:
  // A terminal that loads, lists and types as usual and is cancelled by its host when it
  // hears `at`.
  void CancelAt(const std::string &at) {
    load = LoadTerminal();
    Answer([this, at](const std::string &line) -> std::optional<std::string> {
      if (line == at) CancelOperation();
      if (line.rfind("TYPE ", 0) == 0) {
        typing = true;
        return line + "\rR1\rR2\r" + kEot + "2";
      }
      if (line == "DIR") return "DIR\rA       5\rB       7\r" + kEot + "2";
      if (line == kEot && typing) {
        typing = false;
        return std::string("\x04*");
      }
      return load.Answer(line);
    });
  }
  LoadTerminal load;
  bool typing = false;  // a TYPE is being answered: its EOT is acknowledged
};

TEST_F(Cancel, TransfersAndListingsTakeTheirOwnFailurePath) {
  files.Write("in.txt", Numbered(4));
  const auto download = [this] {
    char name[] = "DATA";
    return SendFile(files.Path("in.txt").c_str(), name, 0, 0);
  };
  const auto program = [this] { return SendPrg(files.Path("in.txt").c_str()); };
  const auto upload = [this] {
    char name[] = "DATA";
    return RecvFile(name, files.Path("out.txt").c_str());
  };
  const auto list = [] {
    char entries[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT];
    return ListFiles(nullptr, entries);
  };
  const auto view = [] {
    char name[] = "DATA";
    char text[100];
    return ViewFile(name, text, sizeof text);
  };
  const struct {
    const char *name;
    std::function<int()> call;
    std::string at;
    Lines heard;
  } cases[] = {
      {"file load", download, "R2", {"LOAD DATA", "R1", "R2", kEot, "DEL DATA"}},
      {"program load", program, "R1", {"%XI", "LOADP PROGRAM", "R1", "STOP DOWNLOADING", kEot}},
      {"upload", upload, "TYPE DATA", {"TYPE DATA", kEot}},
      {"listing", list, "DIR", {"DIR"}},
      {"view", view, "TYPE DATA", {"TYPE DATA", kEot}},
  };
  for (const auto &c : cases) {
    CancelAt(c.at);
    const size_t before = Heard().size();
    EXPECT_EQ(Outcome(c.call()), "-1 61 Operation cancelled") << c.name;
    EXPECT_EQ(HeardSince(before), c.heard) << c.name;
    // The request was taken: the same call now runs through.
    CancelAt("");
    EXPECT_GE(c.call(), 0) << c.name << " " << ErrorState();
  }
  EXPECT_EQ(files.Read("in.txt"), Numbered(4));  // the PC file of a download is never touched
  EXPECT_EQ(files.Read("out.txt"), "R1\r\nR2\r\n");
  CancelAt("TYPE DATA");
  EXPECT_EQ(upload(), -1);
  EXPECT_FALSE(files.Exists("out.txt"));  // the partial upload is deleted
}

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

  // A request left over when the device closes does not reach the next session.
  CancelOperation();
  ExitCOMM();
  Select(DEV_SERIAL_DIRECT, 0);
  EXPECT_EQ(Outcome(GetMsgEx(text)), "-1 40 No reply from terminal");
}

TEST_F(Cancel, ErrorDetailFollowsTheErrorCode) {
  char text[64] = "x";
  EXPECT_EQ(GetErrorDetail(nullptr, 10), -1);
  EXPECT_EQ(GetErrorDetail(text, 0), -1);
  EXPECT_EQ(GetErrorDetail(text, sizeof text), 0);
  EXPECT_STREQ(text, "");

  // A detail noted by the platform goes with the code set after it, and is cut to the buffer.
  platform::NoteOsFailure("/dev/ttyUSB0", 13, "Permission denied");
  SetError(kErrOpenPort);
  EXPECT_EQ(GetErrorDetail(text, sizeof text), 13);
  EXPECT_STREQ(text, "/dev/ttyUSB0: Permission denied");
  EXPECT_EQ(GetErrorDetail(text, 5), 13);
  EXPECT_STREQ(text, "/dev");
  {
    const ErrorKeeper keep;  // a clean-up's own calls do not change what is reported
    ClearError();
    platform::NoteOsFailure("other", 2, "No such file or directory");
  }
  EXPECT_EQ(GetErrorDetail(text, sizeof text), 13);
  EXPECT_EQ(nErrorCode, kErrOpenPort);

  // The next call clears the code and the detail with it; a terminal's refusal has none.
  char reply[VELDC_REPLY_SIZE];
  EXPECT_EQ(SendCommand("V", reply), -1);
  EXPECT_EQ(GetErrorDetail(text, sizeof text), 0);
  EXPECT_STREQ(text, "");
}

}  // namespace
}  // namespace veldc::test
