// Opening and closing each kind of device: argument checks, failures, state afterwards.
#include <cstring>
#include <vector>

#include "device/device.h"
#include "pelo/link.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using device::DeviceState;

struct OpenCase {
  int port, kind, speed, format;
  int result;  // -1 means refused with error 3
};

class OpenArguments : public ::testing::TestWithParam<OpenCase> {
 protected:
  VirtualPlatform vp;
  ScriptKov74 driver;
};

TEST_P(OpenArguments, AcceptsOrRefusesWithoutTouchingAnyDevice) {
  vp.SetKov74(&driver);
  const OpenCase c = GetParam();
  const int r = InitCOMM(c.port, c.kind, c.speed, c.format);
  EXPECT_EQ(r, c.result);
  if (c.result == -1) {
    EXPECT_EQ(ErrorState(), "3 Wrong parameters");
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE);
    EXPECT_TRUE(vp.Log().empty()) << "a refused argument caused traffic";
  } else {
    EXPECT_EQ(DeviceState.nDeviceKind, c.kind);
    EXPECT_EQ(ErrorState(), "0 None");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenArguments,
    ::testing::Values(
        OpenCase{1, 3, 9600, 0, 1016}, OpenCase{2, 3, 9600, 0, 760}, OpenCase{3, 4, 4800, 4, 1000},
        OpenCase{4, 2, 38400, 1, 744}, OpenCase{1, 2, 1200, 0, -1}, OpenCase{1, 3, 1200, 0, 1016},
        OpenCase{1, 3, 57600, 0, -1}, OpenCase{1, 0, 57600, 0, 1}, OpenCase{1, 5, 57600, -1, 1},
        OpenCase{1, 0, 9600, 1, -1}, OpenCase{1, 3, 9600, 5, -1}, OpenCase{1, 3, 9600, -1, -1},
        OpenCase{0, 3, 9600, 0, -1}, OpenCase{5, 0, 0, 0, -1}, OpenCase{1, -1, 9600, 0, -1},
        OpenCase{1, 7, 9600, 0, -1}, OpenCase{0, 6, 0, 0, -1}, OpenCase{-4, 6, 0, 0, -1},
        OpenCase{1234, 6, 9600, 0, -1}, OpenCase{1234, 6, 0, 1, -1}, OpenCase{1234, 6, 0, 0, 1234},
        OpenCase{70000, 6, 0, 0, 4464}));

class SerialOpen : public SerialTest {};

TEST_F(SerialOpen, AppliesTheLineSettings) {
  ASSERT_EQ(InitCOMM(2, DEV_SERIAL_DIRECT, 19200, 1), 760);
  EXPECT_NE(hCommId, reinterpret_cast<void *>(static_cast<intptr_t>(-1)));
  const platform::ComState s = vp.LastState();
  EXPECT_EQ(s.BaudRate, 19200u);
  EXPECT_EQ(s.ByteSize, 7);
  EXPECT_EQ(s.Parity, platform::kOddParity);
  EXPECT_EQ(s.StopBits, platform::kOneStopBit);
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
  EXPECT_EQ(queues[0].a, 1024);
  EXPECT_EQ(queues[0].b, 256);
  EXPECT_EQ(Written(), "") << "the direct kind sends nothing when it opens";
}

TEST_F(SerialOpen, NetworkInterfaceGetsItsFiveSetUpCommandsAndClosesWithP0) {
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_NETWORK, 9600, 0), 1016);
  const auto writes = vp.Writes();
  ASSERT_EQ(writes.size(), 5u);
  const char *expected[] = {"&\r", "*0\r", "@011\r", ">b\r", ">PS255\r"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(writes[i].second, expected[i]);
  EXPECT_LT(writes[4].first - writes[0].first, 1000u) << "no pause between them";
  vp.ClearWritten();
  const auto before = vp.Now();
  ASSERT_EQ(ExitCOMM(), 0);
  EXPECT_EQ(Written(), ">P0\r");
  EXPECT_GE(vp.Now() - before, 200000u);
  EXPECT_EQ(device::bySelectedTerminal, device::NO_TERMINAL);
  // The direct kind opens and closes without a byte.
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0), 1016) << "may be opened again";
  vp.ClearWritten();
  ASSERT_EQ(ExitCOMM(), 0);
  EXPECT_EQ(Written(), "");
}

struct SetUpFailure {
  Call call;
  int nth;
  const char *state;
};

class SerialSetUpFailure : public SerialTest, public ::testing::WithParamInterface<SetUpFailure> {};

TEST_P(SerialSetUpFailure, ClosesThePortAndStaysClosed) {
  const SetUpFailure f = GetParam();
  vp.Fail(f.call, f.nth);
  EXPECT_EQ(InitCOMM(1, DEV_SERIAL_LOGON, 9600, 0), -1);
  EXPECT_EQ(ErrorState(), f.state);
  EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE);
  EXPECT_EQ(vp.OpenPortCount(), 0) << "the handle was left open";
  EXPECT_EQ(hCommId, reinterpret_cast<void *>(static_cast<intptr_t>(-1)));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SerialSetUpFailure,
    ::testing::Values(SetUpFailure{Call::ComOpen, 1, "22 Unable to open RS232 com port"},
                      SetUpFailure{Call::ComSetupQueues, 1, "23 Unable to setup RS232 com port"},
                      SetUpFailure{Call::ComGetState, 1, "24 Unable to get com state"},
                      SetUpFailure{Call::ComSetState, 1, "25 Unable to set com state"},
                      SetUpFailure{Call::ComSetTimeouts, 1, "26 Unable to set com timeouts"},
                      SetUpFailure{Call::ComPurge, 1, "27 Unable to flush transm. queue"},
                      SetUpFailure{Call::ComPurge, 2, "28 Unable to flush receive queue"}));

TEST_F(SerialOpen, SecondOpenIsRefusedButRestoresTheDefaultPassword) {
  Open(DEV_SERIAL_DIRECT);
  ASSERT_EQ(SetPassword("abc"), 0);
  EXPECT_EQ(InitCOMM(2, DEV_SERIAL_LOGON, 9600, 0), -1);
  EXPECT_EQ(ErrorState(), "1 Device already initialized");
  EXPECT_STREQ(DeviceState.szPassword, "80264");
  EXPECT_EQ(DeviceState.nDeviceKind, DEV_SERIAL_DIRECT);
  EXPECT_EQ(vp.OpenPortCount(), 1);
}

TEST_F(SerialOpen, PortNamesCanBeMappedAndRestored) {
  const std::string longName(256, 'x');
  EXPECT_EQ(SetPortName(0, "/dev/pts/3"), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
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

class Kov74Open : public Kov74Test {};

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

TEST_F(Kov74Open, DriverFailuresMapToTheirCodesAndFreeTheDriver) {
  const char *expected[] = {"11 KOV74 com port not found",
                            "12 Wrong KOV74 parameters",
                            "13 KOV74 com port not available",
                            "14 KOV74 already initialized",
                            "15 Bad KOV74 timeout",
                            "16 Unable to set KOV74 port state",
                            "17 Unable to set KOV74 port touts",
                            "18 Unable to set KOV74 port mask",
                            "19 KOV74 OS not supported",
                            "20 Unable to setup KOV74 port",
                            "20 Unable to setup KOV74 port"};
  for (int r = 0; r >= -10; --r) {
    driver.openResult = r;
    EXPECT_EQ(InitCOMM(1, DEV_KOV74_MODE0, 0, 0), -1);
    EXPECT_EQ(ErrorState(), expected[-r]) << "driver result " << r;
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE);
    EXPECT_EQ(vp.LoadedModuleCount(), 0);
  }
}

TEST_F(Kov74Open, RefusedSpeedClosesTheDriver) {
  driver.speedResult = -1;
  EXPECT_EQ(InitCOMM(1, DEV_KOV74_MODE0, 19200, 0), -1);
  EXPECT_EQ(ErrorState(), "21 Wrong KOV74 speed");
  EXPECT_EQ(vp.LogOf(Call::Kov74Close).size(), 1u);
  EXPECT_EQ(vp.LoadedModuleCount(), 0);
  EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE);
}

TEST_F(Kov74Open, MissingDriverAndCloseFailures) {
  vp.SetModulePresent("KOV74C.DLL", false);
  EXPECT_EQ(InitCOMM(1, DEV_KOV74_MODE0, 0, 0), -1);
  EXPECT_EQ(ErrorState(), "10 KOV74 dll not found");
  EXPECT_TRUE(vp.LogOf(Call::Kov74Open).empty());
  vp.SetModulePresent("KOV74C.DLL", true);
  vp.RemoveSymbol("Kov74Send");
  EXPECT_EQ(InitCOMM(1, DEV_KOV74_MODE0, 0, 0), -1);
  EXPECT_EQ(ErrorState(), "10 KOV74 dll not found");
  EXPECT_EQ(vp.LoadedModuleCount(), 0);
}

class PeloOpen : public ::testing::Test {
 protected:
  VirtualPlatform vp;
};

TEST_F(PeloOpen, LoadsWinSockWithoutNetworkTraffic) {
  EXPECT_EQ(InitCOMM(1234, DEV_PELO, 0, 0), 1234);
  EXPECT_EQ(DeviceState.wUdpPort, 1234);
  EXPECT_EQ(vp.StartupCount(), 1);
  EXPECT_TRUE(vp.LogOf(Call::WsSocket).empty());
  EXPECT_TRUE(vp.SentDatagrams().empty());
  ASSERT_EQ(ExitCOMM(), 0);
  EXPECT_EQ(vp.StartupCount(), 0);
  EXPECT_EQ(vp.LoadedModuleCount(), 0);
}

TEST_F(PeloOpen, WinSockFailures) {
  vp.SetModulePresent("WSOCK32.DLL", false);
  pelo::PeloLink.nLinkForm = pelo::PeloLink.nSavedLinkForm = pelo::PELO_FORM_SINGLE;
  EXPECT_EQ(InitCOMM(1, DEV_PELO, 0, 0), -1);
  EXPECT_EQ(ErrorState(), "71 WINSOCK dll not found");
  EXPECT_TRUE(pelo::PeloLink.nLinkForm == pelo::PELO_FORM_NONE &&
              pelo::PeloLink.nSavedLinkForm == pelo::PELO_FORM_NONE);
  vp.SetModulePresent("WSOCK32.DLL", true);
  vp.SetModuleLoadable("WSOCK32.DLL", false);
  EXPECT_EQ(InitCOMM(1, DEV_PELO, 0, 0), -1);
  EXPECT_EQ(ErrorState(), "71 WINSOCK dll not found");
  vp.SetModuleLoadable("WSOCK32.DLL", true);
  vp.RemoveSymbol("sendto");
  EXPECT_EQ(InitCOMM(1, DEV_PELO, 0, 0), -1);
  EXPECT_EQ(ErrorState(), "7 No required WinSocket functions");
  EXPECT_EQ(vp.LoadedModuleCount(), 0);
  EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE);
}

TEST_F(PeloOpen, StartupAndVersionFailuresCleanUp) {
  vp.SetStartupResult(10091);
  EXPECT_EQ(InitCOMM(1, DEV_PELO, 0, 0), -1);
  EXPECT_EQ(ErrorState(), "72 Error in WinSocket startup: 10091");
  EXPECT_EQ(vp.LoadedModuleCount(), 0);
  vp.SetStartupResult(0);
  vp.SetWsaVersion(0x0202);
  EXPECT_EQ(InitCOMM(1, DEV_PELO, 0, 0), -1);
  EXPECT_EQ(ErrorState(), "73 Error in WinSocket version: 514");
  EXPECT_EQ(vp.StartupCount(), 0);
  EXPECT_EQ(vp.LoadedModuleCount(), 0);
  EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE);
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
    VirtualPlatform vp;
    ASSERT_GE(InitCOMM(1, c.kind, c.speed, 0), 0) << c.state;
    vp.Fail(c.call, 1, c.result);
    EXPECT_EQ(ExitCOMM(), -1);
    EXPECT_EQ(ErrorState(), c.state);
    EXPECT_EQ(DeviceState.nDeviceKind, c.kind);
    EXPECT_EQ(ExitCOMM(), 0) << c.state;
    EXPECT_EQ(vp.LoadedModuleCount(), 0) << c.state;
    EXPECT_EQ(ExitCOMM(), -1);
    EXPECT_EQ(ErrorState(), "2 Device not initialized");
  }
}

}  // namespace
}  // namespace veldc::test
