// Opening and closing each kind of device: argument checks, failures, state afterwards.
#include <functional>
#include <tuple>
#include <vector>

#include "device/device.h"
#include "pelo/link.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using device::DeviceState;
const void *const kNoPort = reinterpret_cast<void *>(static_cast<intptr_t>(-1));

TEST(OpenArguments, AcceptsOrRefusesWithoutTouchingAnyDevice) {
  // port, kind, speed, format and the result; -1 means refused with error 3.
  const int cases[][5] = {
      {1, 3, 9600, 0, 1016}, {2, 3, 9600, 0, 760},  {3, 4, 4800, 4, 1000},  {4, 2, 38400, 1, 744},
      {1, 2, 1200, 0, -1},   {1, 3, 1200, 0, 1016}, {1, 3, 57600, 0, -1},   {1, 0, 57600, 0, 1},
      {1, 5, 57600, -1, 1},  {1, 0, 9600, 1, -1},   {1, 3, 9600, 5, -1},    {1, 3, 9600, -1, -1},
      {0, 3, 9600, 0, -1},   {5, 0, 0, 0, -1},      {1, -1, 9600, 0, -1},   {1, 7, 9600, 0, -1},
      {0, 6, 0, 0, -1},      {-4, 6, 0, 0, -1},     {1234, 6, 9600, 0, -1}, {1234, 6, 0, 1, -1},
      {1234, 6, 0, 0, 1234}, {70000, 6, 0, 0, 4464}};
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << c[0] << " " << c[1] << " " << c[2] << " " << c[3]);
    TestPlatform vp;
    ScriptKov74 driver;
    vp.SetKov74(&driver);
    EXPECT_EQ(InitCOMM(c[0], c[1], c[2], c[3]), c[4]);
    const bool refused = c[4] == -1;
    EXPECT_EQ(ErrorState(), refused ? "3 Wrong parameters" : "0 None");
    EXPECT_EQ(DeviceState.nDeviceKind, refused ? DEV_NONE : c[1]);
    EXPECT_TRUE(!refused || vp.Log().empty()) << "a refused argument caused traffic";
  }
}

using SerialOpen = SerialTest;

TEST_F(SerialOpen, AppliesTheLineSettings) {
  ASSERT_EQ(InitCOMM(2, DEV_SERIAL_DIRECT, 19200, 1), 760);
  EXPECT_NE(hCommId, kNoPort);
  const platform::ComState s = vp.LastState();
  EXPECT_EQ(std::make_tuple(s.BaudRate, s.ByteSize, s.Parity, s.StopBits),
            std::make_tuple(19200u, uint8_t{7}, platform::kOddParity, platform::kOneStopBit));
  EXPECT_TRUE(s.fBinary && s.fParity && s.fTXContinueOnXoff && s.fOutX && s.fInX);
  EXPECT_FALSE(s.fOutxCtsFlow || s.fOutxDsrFlow || s.fDsrSensitivity || s.fErrorChar || s.fNull ||
               s.fAbortOnError);
  EXPECT_TRUE(s.fDtrControl == platform::kDtrControlEnable &&
              s.fRtsControl == platform::kRtsControlEnable);
  EXPECT_TRUE(s.XonLim == 24 && s.XoffLim == 24 && s.XonChar == 0x11 && s.XoffChar == 0x13);
  const platform::ComTimeouts t = vp.LastTimeouts();
  EXPECT_TRUE(t.ReadIntervalTimeout == 0xFFFFFFFFu && t.ReadTotalTimeoutMultiplier == 0 &&
              t.ReadTotalTimeoutConstant == 0 && t.WriteTotalTimeoutMultiplier == 5 &&
              t.WriteTotalTimeoutConstant == 100);
  const auto queues = vp.LogOf(Call::ComSetupQueues);
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(std::make_pair(queues[0].a, queues[0].b), std::make_pair(int64_t{1024}, int64_t{256}));
  EXPECT_EQ(Written(), "") << "the direct kind sends nothing when it opens";
}

TEST_F(SerialOpen, EachFormatSetsItsDataBitsAndParity) {
  const std::tuple<uint8_t, uint8_t> expected[5] = {{8, platform::kNoParity},
                                                    {7, platform::kOddParity},
                                                    {7, platform::kEvenParity},
                                                    {8, platform::kOddParity},
                                                    {8, platform::kEvenParity}};
  for (int format = 0; format < 5; ++format) {
    ASSERT_EQ(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, format), 1016) << ErrorState();
    const platform::ComState s = vp.LastState();
    EXPECT_EQ(std::make_tuple(s.ByteSize, s.Parity), expected[format]) << "format " << format;
    ASSERT_EQ(ExitCOMM(), 0);
  }
}

TEST_F(SerialOpen, NetworkInterfaceGetsItsFiveSetUpCommandsAndClosesWithP0) {
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_NETWORK, 9600, 0), 1016);
  const auto writes = vp.Writes();
  ASSERT_EQ(writes.size(), 5u);
  const char *expected[] = {"&\r", "*0\r", "@011\r", ">b\r", ">PS255\r"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(writes[i].second, expected[i]);
  EXPECT_LT(writes[4].first - writes[0].first, 1000u) << "no pause between them";
  vp.ClearWritten();
  vp.ClearLog();
  const auto before = vp.Now();
  ASSERT_EQ(ExitCOMM(), 0);
  EXPECT_EQ(Written(), ">P0\r");
  const auto purges = vp.LogOf(Call::ComPurge);  // both queues, output first
  ASSERT_EQ(purges.size(), 2u);
  EXPECT_EQ(purges[0].a, static_cast<int64_t>(platform::kPurgeTxClear));
  EXPECT_EQ(purges[1].a, static_cast<int64_t>(platform::kPurgeRxClear));
  EXPECT_GE(vp.Now() - before, 200000u);
  EXPECT_EQ(device::bySelectedTerminal, device::NO_TERMINAL);
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0), 1016) << "may be opened again";
  vp.ClearWritten();
  ASSERT_EQ(ExitCOMM(), 0);
  EXPECT_EQ(Written(), "") << "the direct kind closes without a byte";
}

TEST_F(SerialOpen, FailedSetUpStepClosesThePortAndStaysClosed) {
  const std::tuple<Call, int, const char *> cases[] = {
      {Call::ComOpen, 1, "22 Unable to open RS232 com port"},
      {Call::ComSetupQueues, 1, "23 Unable to setup RS232 com port"},
      {Call::ComGetState, 1, "24 Unable to get com state"},
      {Call::ComSetState, 1, "25 Unable to set com state"},
      {Call::ComSetTimeouts, 1, "26 Unable to set com timeouts"},
      {Call::ComPurge, 1, "27 Unable to flush transm. queue"},
      {Call::ComPurge, 2, "28 Unable to flush receive queue"}};
  for (const auto &[call, nth, state] : cases) {
    vp.Fail(call, nth);
    EXPECT_EQ(InitCOMM(1, DEV_SERIAL_LOGON, 9600, 0), -1);
    EXPECT_EQ(ErrorState(), state);
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE) << state;
    EXPECT_EQ(vp.OpenPortCount(), 0) << "the handle was left open: " << state;
    EXPECT_EQ(hCommId, kNoPort) << state;
  }
}

TEST_F(SerialOpen, SecondOpenIsRefusedButRestoresTheDefaultPassword) {
  Open(DEV_SERIAL_DIRECT);
  ASSERT_EQ(SetPassword("abc"), 0);
  EXPECT_EQ(Outcome(InitCOMM(2, DEV_SERIAL_LOGON, 9600, 0)), "-1 1 Device already initialized");
  EXPECT_STREQ(DeviceState.szPassword, "80264");
  EXPECT_EQ(DeviceState.nDeviceKind, DEV_SERIAL_DIRECT);
  EXPECT_EQ(vp.OpenPortCount(), 1);
}

TEST_F(SerialOpen, PortNamesCanBeMappedAndRestored) {
  const std::string longName(256, 'x');
  EXPECT_EQ(Outcome(SetPortName(0, "/dev/pts/3")), "-1 3 Wrong parameters");
  EXPECT_EQ(SetPortName(5, "/dev/pts/3"), -1);
  EXPECT_EQ(SetPortName(2, longName.c_str()), -1);
  EXPECT_EQ(SetPortName(2, longName.substr(1).c_str()), 0);
  EXPECT_EQ(SetPortName(3, "/dev/ttyUSB0"), 0);
  ASSERT_EQ(InitCOMM(3, DEV_SERIAL_DIRECT, 9600, 0), 1000);
  EXPECT_EQ(vp.LastPortName(), "/dev/ttyUSB0");
  ASSERT_EQ(ExitCOMM(), 0);
  EXPECT_EQ(SetPortName(3, nullptr), 0);
  ASSERT_EQ(InitCOMM(3, DEV_SERIAL_DIRECT, 9600, 0), 1000);
  EXPECT_EQ(vp.LastPortName(), vp.DefaultPortName(3));
}

using Kov74Open = Kov74Test;

TEST_F(Kov74Open, PassesModeOptionAndSpeedCode) {
  ASSERT_EQ(InitCOMM(3, DEV_KOV74_MODE2, 57600, -1), 1);
  EXPECT_EQ(std::vector<int>(driver.opened, driver.opened + 4), std::vector<int>({3, 2, 254, -1}));
  const auto speed = vp.LogOf(Call::Kov74SetSpeed);
  ASSERT_EQ(speed.size(), 1u);
  EXPECT_EQ(speed[0].a, 3);
  ASSERT_EQ(ExitCOMM(), 0);
  EXPECT_EQ(vp.LoadedModuleCount(), 0) << "the driver stays loaded after close";

  ASSERT_EQ(InitCOMM(1, DEV_KOV74_MODE1, 0, 0), 1);
  EXPECT_EQ(vp.LogOf(Call::Kov74Open).back().b, 1);
  EXPECT_EQ(vp.LogOf(Call::Kov74SetSpeed).size(), 1u) << "speed 0 makes no speed call";
  ASSERT_EQ(ExitCOMM(), 0);
  driver.openResult = 77;
  ASSERT_EQ(InitCOMM(1, DEV_KOV74_MODE0, 9600, 0), 77);
  EXPECT_EQ(vp.LogOf(Call::Kov74Open).back().b, 0);
  EXPECT_EQ(vp.LogOf(Call::Kov74SetSpeed).back().a, 0);
}

// The driver's open results 0 to -10, a refused speed, a missing driver and a driver lacking an
// entry: each leaves its code, no device and the driver freed (and closed once it had opened).
TEST_F(Kov74Open, RefusalsMapToTheirCodesAndFreeTheDriver) {
  const struct {
    int open, speed;
    bool present;
    const char *missing, *state;
  } cases[] = {{0, 0, true, "", "11 KOV74 com port not found"},
               {-1, 0, true, "", "12 Wrong KOV74 parameters"},
               {-2, 0, true, "", "13 KOV74 com port not available"},
               {-3, 0, true, "", "14 KOV74 already initialized"},
               {-4, 0, true, "", "15 Bad KOV74 timeout"},
               {-5, 0, true, "", "16 Unable to set KOV74 port state"},
               {-6, 0, true, "", "17 Unable to set KOV74 port touts"},
               {-7, 0, true, "", "18 Unable to set KOV74 port mask"},
               {-8, 0, true, "", "19 KOV74 OS not supported"},
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

TEST(PeloOpen, LoadsWinSockWithoutNetworkTraffic) {
  TestPlatform vp;
  EXPECT_EQ(InitCOMM(1234, DEV_PELO, 0, 0), 1234);
  EXPECT_EQ(DeviceState.wUdpPort, 1234);
  EXPECT_EQ(vp.StartupCount(), 1);
  EXPECT_TRUE(vp.LogOf(Call::WsSocket).empty());
  EXPECT_TRUE(vp.SentDatagrams().empty());
  ASSERT_EQ(ExitCOMM(), 0);
  EXPECT_EQ(vp.StartupCount(), 0);
  EXPECT_EQ(vp.LoadedModuleCount(), 0);
}

// A missing, unloadable or incomplete WSOCK32.DLL, a failed start-up and a wrong version each
// leave their code, no device, WinSock cleaned up and freed, and the link form forgotten.
TEST(PeloOpenFailure, CleansUp) {
  const std::pair<std::function<void(VirtualPlatform &)>, const char *> cases[] = {
      {[](auto &vp) { vp.SetModulePresent("WSOCK32.DLL", false); }, "71 WINSOCK dll not found"},
      {[](auto &vp) { vp.SetModuleLoadable("WSOCK32.DLL", false); }, "71 WINSOCK dll not found"},
      {[](auto &vp) { vp.RemoveSymbol("sendto"); }, "7 No required WinSocket functions"},
      {[](auto &vp) { vp.SetStartupResult(10091); }, "72 Error in WinSocket startup: 10091"},
      {[](auto &vp) { vp.SetWsaVersion(0x0202); }, "73 Error in WinSocket version: 514"}};
  for (const auto &[fail, state] : cases) {
    TestPlatform vp;
    pelo::PeloLink.nLinkForm = pelo::PeloLink.nSavedLinkForm = pelo::PELO_FORM_SINGLE;
    fail(vp);
    EXPECT_EQ(InitCOMM(1, DEV_PELO, 0, 0), -1);
    EXPECT_EQ(ErrorState(), state);
    EXPECT_TRUE(pelo::PeloLink.nLinkForm == pelo::PELO_FORM_NONE &&
                pelo::PeloLink.nSavedLinkForm == pelo::PELO_FORM_NONE)
        << state;
    EXPECT_EQ(vp.StartupCount(), 0) << state;
    EXPECT_EQ(vp.LoadedModuleCount(), 0) << state;
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE) << state;
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

}  // namespace
}  // namespace veldc::test
