// The progress meters: bar arithmetic, the switch, the window calls and the host's callback.
#include "meter/meter.h"

#include <string>
#include <vector>

#include "core/errors.h"
#include "platform/meter_ui.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

TEST(MeterBars, TransferGrowsByEachStepAndStopsAtFullWidth) {
  meter::TransferBar bar;
  // Ten records of 10 characters and CR LF in a 120-byte file.
  for (int i = 1; i <= 10; ++i) EXPECT_EQ(bar.Advance(120, 12, 120), 12 * i);
  EXPECT_EQ(bar.Advance(120, 12, 120), 120);  // past the total: never wider
  bar.Reset();
  EXPECT_EQ(bar.Advance(120, 12, 93), 9);  // 12 * 93 / 120 rounded down
  EXPECT_EQ(bar.Advance(120, 108, 93), 93);
  bar.Reset();
  EXPECT_EQ(bar.Advance(0, 1, 93), 93);  // total 0 fills the whole bar
  bar.Reset();
  // A product past 32 bits must not wrap.
  EXPECT_EQ(bar.Advance(60000000, 30000000, 150), 75);
  // The connect bar follows the time without a clamp.
  EXPECT_EQ(meter::ConnectBarRight(100, 0, 7000), 0);
  EXPECT_EQ(meter::ConnectBarRight(100, 3500, 7000), 50);
  EXPECT_EQ(meter::ConnectBarRight(100, 14000, 7000), 200);
  EXPECT_EQ(meter::ConnectBarRight(100, 5, 0), 100);
}

struct Report {
  int meter, event, records;
  unsigned done, total;
  std::string text;
  bool operator==(const Report &o) const { return Text() == o.Text(); }
  std::string Text() const {
    return std::to_string(meter) + "," + std::to_string(event) + "," + std::to_string(records) +
           "," + std::to_string(done) + "," + std::to_string(total) + ",\"" + text + "\"";
  }
};
std::ostream &operator<<(std::ostream &out, const Report &r) { return out << r.Text(); }

void VELDC_API Collect(void *context, int meter, int event, int records, unsigned done,
                       unsigned total, const char *text) {
  static_cast<std::vector<Report> *>(context)->push_back(
      {meter, event, records, done, total, text != nullptr ? text : ""});
}

class Meter : public ServicesTest {
 protected:
  void SetUp() override {
    ServicesTest::SetUp();
    SetProgressCallback(Collect, &reports);
    Answer(&terminal);
    std::string ten;  // ten records of 10 characters and CR LF
    for (int i = 100; i < 110; ++i) ten += "record " + std::to_string(i) + "\r\n";
    files.Write("in.txt", ten);
  }
  int Download(int wrongEchoAt = 0) {
    terminal = LoadTerminal();
    terminal.wrongEchoAt = wrongEchoAt;
    char name[] = "DATA";
    return SendFile(files.Path("in.txt").c_str(), name, 0, 0);
  }
  std::vector<Report> reports;
  LoadTerminal terminal;
};

TEST_F(Meter, DownloadShowsRecordsAndBytes) {
  EXPECT_EQ(EnableMeter(5), 0);
  ASSERT_EQ(Download(), 10) << ErrorState();
  const auto create = vp.LogOf(Call::MeterCreate);
  ASSERT_EQ(create.size(), 1u);
  EXPECT_EQ(create[0].a, 110);
  EXPECT_EQ(vp.LogOf(Call::MeterShow).size(), 1u);
  const auto items = vp.LogOf(Call::MeterSetItemInt);
  const auto steps = vp.LogOf(Call::MeterSendProgress);
  ASSERT_EQ(items.size(), 20u);
  ASSERT_EQ(steps.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(items[2 * i].a, 109);
    EXPECT_EQ(items[2 * i].b, i + 1);
    EXPECT_EQ(items[2 * i + 1].a, 1008);
    EXPECT_EQ(items[2 * i + 1].b, 120);
    EXPECT_EQ(steps[i].a, 120);
    EXPECT_EQ(steps[i].b, 12);
  }
  EXPECT_EQ(vp.LogOf(Call::MeterDestroy).size(), 1u);
  EXPECT_EQ(vp.OpenMeterCount(), 0);

  std::vector<Report> expected{{110, VELDC_PROGRESS_OPEN, 0, 0, 0, ""}};
  for (int i = 1; i <= 10; ++i) {
    expected.push_back({110, VELDC_PROGRESS_STEP, i, 12u * i, 120, ""});
  }
  expected.push_back({110, VELDC_PROGRESS_CLOSE, 10, 120, 120, ""});
  EXPECT_EQ(reports, expected);
}

TEST_F(Meter, SwitchOffMeansNoWindowAndNoReports) {
  SetError(kErrNoReply);  // neither the switch nor the callback touches the error code
  EXPECT_EQ(Outcome(EnableMeter(1) + SetProgressCallback(Collect, &reports)),
            "0 40 No reply from terminal");
  EXPECT_EQ(Outcome(EnableMeter(0)), "0 40 No reply from terminal");
  ASSERT_EQ(Download(), 10) << ErrorState();
  for (Call c : {Call::MeterCreate, Call::MeterShow, Call::MeterSetItemInt, Call::MeterSetItemText,
                 Call::MeterSendProgress, Call::MeterDestroy}) {
    EXPECT_TRUE(vp.LogOf(c).empty());
  }
  EXPECT_TRUE(reports.empty());
  meter::OpenConnectMeter(7000);
  meter::ConnectProgress(10);
  meter::CloseConnectMeter();
  EXPECT_TRUE(vp.LogOf(Call::MeterCreate).empty());
  EXPECT_TRUE(reports.empty());
}

// A failed download closes the meter; without a window the transfer still runs and reports.
TEST_F(Meter, FailedDownloadClosesTheMeterAndNoWindowStillReports) {
  EnableMeter(1);
  EXPECT_EQ(Outcome(Download(3)), "-1 59 Error sending record");
  EXPECT_EQ(vp.LogOf(Call::MeterDestroy).size(), 1u);
  ASSERT_EQ(reports.size(), 4u);  // open, two records, close
  EXPECT_EQ(reports.back(), (Report{110, VELDC_PROGRESS_CLOSE, 2, 24, 120, ""}));
  vp.ClearLog();
  reports.clear();
  vp.Fail(Call::MeterCreate);
  ASSERT_EQ(Download(), 10) << ErrorState();
  for (Call c : {Call::MeterShow, Call::MeterSendProgress, Call::MeterDestroy}) {
    EXPECT_TRUE(vp.LogOf(c).empty());
  }
  EXPECT_EQ(reports.size(), 12u);
  EXPECT_EQ(reports.back(), (Report{110, VELDC_PROGRESS_CLOSE, 10, 120, 120, ""}));
}

TEST_F(Meter, ConnectMeter) {
  EnableMeter(1);
  SetWinSockTimeOut(4);
  meter::CloseTransferMeter();  // nothing open: no effect
  meter::OpenConnectMeter(4000);
  meter::SetConnectText(meter::kItemAddress, "127.0.0.9");
  meter::SetConnectText(meter::kItemStatus, "Connecting");
  meter::ConnectProgress(1000);
  meter::CloseConnectMeter();
  meter::CloseConnectMeter();  // already closed: no effect
  // The window calls are checked where the Pelo set-up opens this meter.
  EXPECT_EQ(vp.LogOf(Call::MeterDestroy).size(), 1u);
  EXPECT_EQ(reports, (std::vector<Report>{{111, VELDC_PROGRESS_OPEN, 0, 0, 4000, ""},
                                          {111, VELDC_PROGRESS_TEXT, 0, 0, 4000, "Connecting"},
                                          {111, VELDC_PROGRESS_STEP, 0, 1000, 4000, ""},
                                          {111, VELDC_PROGRESS_CLOSE, 0, 0, 4000, ""}}));
}

}  // namespace
}  // namespace veldc::test
