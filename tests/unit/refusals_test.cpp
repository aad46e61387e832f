// Refusals the tables of each family leave out: the codes a device's open, close, selection and
// reply waits can set, and what each leaves behind.
#include <string>

#include "device/device.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using device::DeviceState;

// The driver's open results 0 to -10, a refused speed, a missing driver and a driver lacking an
// entry: each leaves its code, no device and the driver freed (and closed once it had opened).
TEST_F(Kov74Test, OpenRefusalsMapToTheirCodesAndFreeTheDriver) {
  const struct {
    int open, speed;
    bool present;
    const char *missing, *state;
  } cases[] = {{0, 0, true, "", "11 KOV74 com port not found"},
               {-1, 0, true, "", "12 Wrong KOV74 parameters"},
               {-5, 0, true, "", "16 Unable to set KOV74 port state"},
               {-9, 0, true, "", "20 Unable to setup KOV74 port"},
               {-10, 0, true, "", "20 Unable to setup KOV74 port"},
               {1, -1, true, "", "21 Wrong KOV74 speed"},
               {1, 0, false, "", "10 KOV74 dll not found"},
               {1, 0, true, "Kov74Send", "10 KOV74 dll not found"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.state);
    driver.openResult = c.open;
    driver.speedResult = c.speed;
    vp.SetModulePresent("KOV74C.DLL", c.present);
    if (*c.missing != '\0') vp.RemoveSymbol(c.missing);
    vp.ClearLog();
    EXPECT_EQ(InitCOMM(1, DEV_KOV74_MODE0, 19200, 0), -1);
    EXPECT_EQ(ErrorState(), c.state);
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE);
    EXPECT_EQ(vp.LoadedModuleCount(), 0);
    EXPECT_EQ(vp.LogOf(Call::Kov74Open).size(), c.present && *c.missing == '\0' ? 1u : 0u);
    EXPECT_EQ(vp.LogOf(Call::Kov74Close).size(), c.speed != 0 ? 1u : 0u);
  }
}

// A failed close leaves the device open for another try; a second close after success is refused.
TEST(CloseFailure, LeavesTheDeviceOpen) {
  struct {
    int kind, speed;
    Call call;
    int64_t result;
    const char *state;
  } cases[] = {{DEV_SERIAL_DIRECT, 9600, Call::ComClose, 0, "31 Unable to close RS232 port"},
               {DEV_KOV74_MODE0, 0, Call::Kov74Close, -255, "29 Bad KOV74 port ID"},
               {DEV_KOV74_MODE1, 0, Call::Kov74Close, 4, "30 Unable to close KOV74 port"},
               {DEV_PELO, 0, Call::WsCleanup, 10093, "98 Error closing WinSocket: 10093"}};
  for (const auto &c : cases) {
    TestPlatform vp;
    ASSERT_GE(InitCOMM(1, c.kind, c.speed, 0), 0) << c.state;
    vp.Fail(c.call, 1, c.result);
    EXPECT_EQ(ExitCOMM(), -1);
    EXPECT_EQ(ErrorState(), c.state);
    EXPECT_EQ(DeviceState.nDeviceKind, c.kind);
    EXPECT_EQ(ExitCOMM(), 0) << c.state;
    EXPECT_EQ(vp.LoadedModuleCount(), 0) << c.state;
    EXPECT_EQ(Outcome(ExitCOMM()), "-1 2 Device not initialized");
  }
}

TEST(PortNames, OutOfRangeOrTooLongAreRefused) {
  TestPlatform vp;
  const std::string longName(256, 'x');
  for (const auto &[port, name] :
       {std::pair<int, const char *>{0, "/dev/pts/3"}, {5, "/dev/pts/3"}, {2, longName.c_str()}}) {
    EXPECT_EQ(Outcome(SetPortName(port, name)), "-1 3 Wrong parameters") << port;
  }
  EXPECT_EQ(Outcome(SetPortName(2, longName.substr(1).c_str())), "0 0 None");
  EXPECT_EQ(SetPortName(2, nullptr), 0);
}

TEST_F(Kov74Test, SelectionGivesUpAfterTenPollsAndNeedsAnAddress) {
  Open();
  EXPECT_EQ(Outcome(SetTerminal(5)), "-1 47 Cannot talk with terminal");
  EXPECT_EQ(driver.polls.size(), 10u);
  EXPECT_EQ(device::bySelectedTerminal, device::NO_TERMINAL);
  EXPECT_EQ(Outcome(SetTerminal(0)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(ChgTerminal(0)), "-1 3 Wrong parameters");
  const size_t before = vp.Log().size();
  EXPECT_EQ(ChgTerminal(5), 0);
  EXPECT_EQ(vp.Log().size(), before) << "no traffic";
}

TEST_F(SerialTest, ACollectedReplyOnAHungUpLineFailsWithThePortsError) {
  Select(DEV_SERIAL_DIRECT, 0);
  ASSERT_EQ(PostCommand("T"), 0);
  vp.HangUpAt(vp.Now());
  char reply[VELDC_REPLY_SIZE];
  EXPECT_EQ(Outcome(GetResponse(reply)), "-1 70 Windows error: 1024");
}

// A silent adapter: no selection before a connection, and both the connection and a command to
// the adapter end at the time-out.
TEST(PeloRefusals, NothingSelectedOrNoAnswerInTime) {
  TestPlatform vp;
  ScriptAdapter adapter;
  vp.AttachAdapter(&adapter);
  ASSERT_EQ(InitCOMM(5000, DEV_PELO, 0, 0), 5000);
  EXPECT_EQ(Outcome(SetTerminal(1)), "-1 91 No selected Pelo");
  DeviceState.nWinSockTimeOut = 1000;
  EXPECT_EQ(Outcome(SetIPAddress("192.168.0.10")), "-1 79 WinSocket timeout expired");
  adapter.SetResponder([](const sim::PeloPacket &p) -> ScriptAdapter::Answers {
    if (p.text != "X") return {};
    return {{1000, Datagram(sim::PeloPacket::kCommand, p.seq, "V2 C3\r")}};
  });
  ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
  char reply[VELDC_REPLY_SIZE];
  EXPECT_EQ(Outcome(PeloCommand("Q", reply)), "-1 79 WinSocket timeout expired");
}

}  // namespace
}  // namespace veldc::test
