// Opening and closing each kind of device and what each failure leaves; the core's state.
#include <cmath>
#include <limits>

#include "core/errors.h"
#include "pelo/link.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using device::DeviceState;
const void *const kNoPort = reinterpret_cast<void *>(static_cast<intptr_t>(-1));

TEST(OpenArguments, AcceptsOrRefusesWithoutTouchingAnyDevice) {
  // port, kind, speed, format and the result; -1 means refused with error 3.
  const int cases[][5] = {{1, 3, 9600, 0, 1016}, {2, 3, 9600, 0, 760},   {3, 4, 4800, 4, 1000},
                          {4, 2, 38400, 1, 744}, {1, 2, 1200, 0, -1},    {1, 2, 2400, 0, 1016},
                          {1, 3, 1200, 0, 1016}, {1, 3, 57600, 0, -1},   {1, 0, 57600, 0, 1},
                          {1, 5, 57600, -1, 1},  {1, 0, 9600, 1, -1},    {1, 3, 9600, 5, -1},
                          {0, 3, 9600, 0, -1},   {5, 0, 0, 0, -1},       {1, 7, 9600, 0, -1},
                          {0, 6, 0, 0, -1},      {1234, 6, 9600, 0, -1}, {70000, 6, 0, 0, 4464}};
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
  using namespace platform;
  ASSERT_EQ(InitCOMM(2, DEV_SERIAL_DIRECT, 19200, 1), 760);
  EXPECT_NE(hCommId, kNoPort);
  ComState s = vp.LastState();
  EXPECT_TRUE(s.BaudRate == 19200u && s.StopBits == kOneStopBit && s.fBinary && s.fParity &&
              s.fTXContinueOnXoff && s.fOutX && s.fInX);
  EXPECT_FALSE(s.fOutxCtsFlow || s.fOutxDsrFlow || s.fDsrSensitivity || s.fErrorChar || s.fNull ||
               s.fAbortOnError);
  EXPECT_TRUE(s.fDtrControl == kDtrControlEnable && s.fRtsControl == kRtsControlEnable);
  EXPECT_TRUE(s.XonLim == 24 && s.XoffLim == 24 && s.XonChar == 0x11 && s.XoffChar == 0x13);
  const ComTimeouts t = vp.LastTimeouts();
  EXPECT_TRUE(t.ReadIntervalTimeout == 0xFFFFFFFFu && t.ReadTotalTimeoutMultiplier == 0 &&
              t.ReadTotalTimeoutConstant == 0 && t.WriteTotalTimeoutMultiplier == 5 &&
              t.WriteTotalTimeoutConstant == 100);
  const auto queues = vp.LogOf(Call::ComSetupQueues);
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_TRUE(queues[0].a == 1024 && queues[0].b == 256);
  EXPECT_EQ(Written(), "") << "the direct kind sends nothing when it opens";
  ASSERT_EQ(ExitCOMM(), 0);
  const int formats[5][2] = {
      {8, kNoParity}, {7, kOddParity}, {7, kEvenParity}, {8, kOddParity}, {8, kEvenParity}};
  for (int format = 0; format < 5; ++format) {
    ASSERT_EQ(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, format) + ExitCOMM(), 1016) << ErrorState();
    s = vp.LastState();
    EXPECT_TRUE(s.ByteSize == formats[format][0] && s.Parity == formats[format][1]) << format;
  }
  // The network interface gets its five set-up commands and is closed with ">P0".
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_NETWORK, 9600, 0), 1016);
  const auto writes = vp.Writes();
  ASSERT_EQ(writes.size(), 5u);
  EXPECT_EQ(Written(), "&\r*0\r@011\r>b\r>PS255\r");
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
    EXPECT_EQ(Outcome(InitCOMM(1, DEV_SERIAL_LOGON, 9600, 0)), std::string("-1 ") + state);
    EXPECT_TRUE(vp.OpenPortCount() == 0 && hCommId == kNoPort) << "left open: " << state;
  }
  // A second open is refused but restores the default password.
  Open(DEV_SERIAL_DIRECT);
  ASSERT_EQ(SetPassword("abc"), 0);
  EXPECT_EQ(Outcome(InitCOMM(2, DEV_SERIAL_LOGON, 9600, 0)), "-1 1 Device already initialized");
  EXPECT_STREQ(DeviceState.szPassword, "80264");
  EXPECT_EQ(vp.OpenPortCount(), 1);
}

// Each WinSock failure leaves no device, WinSock cleaned up and freed, the link form forgotten.
TEST(PeloOpen, LoadsWinSockOrCleansUp) {
  const std::pair<std::function<void(VirtualPlatform &)>, const char *> cases[] = {
      {[](auto &vp) { vp.SetModulePresent("WSOCK32.DLL", false); }, "71 WINSOCK dll not found"},
      {[](auto &vp) { vp.RemoveSymbol("sendto"); }, "7 No required WinSocket functions"},
      {[](auto &vp) { vp.SetStartupResult(10091); }, "72 Error in WinSocket startup: 10091"},
      {[](auto &vp) { vp.SetWsaVersion(0x0202); }, "73 Error in WinSocket version: 514"}};
  for (const auto &[fail, state] : cases) {
    TestPlatform vp;
    pelo::PeloLink.nLinkForm = pelo::PeloLink.nSavedLinkForm = pelo::PELO_FORM_SINGLE;
    fail(vp);
    EXPECT_EQ(Outcome(InitCOMM(1, DEV_PELO, 0, 0)), std::string("-1 ") + state);
    EXPECT_TRUE(pelo::PeloLink.nLinkForm == pelo::PELO_FORM_NONE &&
                pelo::PeloLink.nSavedLinkForm == pelo::PELO_FORM_NONE)
        << state;
    EXPECT_EQ(vp.StartupCount() + vp.LoadedModuleCount(), 0) << state;
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE) << state;
  }
}

struct Core : ::testing::Test {
  TestPlatform vp;
};

TEST_F(Core, ErrorStateAndItsMessages) {
  EXPECT_EQ(ErrorState(), "0 None");
  SetError(kErrWrongTerminal);
  EXPECT_EQ(ErrorState(), "41 Reply from wrong terminal");
  EXPECT_EQ(Outcome(GetError(nullptr)), "-1 3 Wrong parameters")
      << "a null buffer replaces the pending code";
  SetWindowsError(24);
  EXPECT_EQ(ErrorState(), "70 Windows error: 24");
  SetWinSockErrorCode(kErrWinSockStartup, std::numeric_limits<int32_t>::min());
  char text[VELDC_ERROR_TEXT_SIZE];
  EXPECT_EQ(GetError(text), 72) << "the longest message fits the documented buffer";
  EXPECT_STREQ(text, "Error in WinSocket startup: -2147483648");
  SetError(kErrWinSockTimeout);  // a plain code shows its table text, not the older one
  EXPECT_EQ(ErrorState(), "79 WinSocket timeout expired");
  // WinSock number 0 asks WinSock for its last error.
  ASSERT_EQ(InitCOMM(1, DEV_PELO, 0, 0), 1);
  vp.Fail(Call::WsSend, 1, 10054);
  DeviceState.WinSockTable.send(0, "x", 1, 0);
  nErrorCode = kErrReceiveMessage;
  EXPECT_EQ(Outcome(SetWinSockError(0)), "10054 78 Error receving message: 10054");
}

// Refused values leave the setting; the Kov74 one truncates and refuses what has no integer form.
TEST_F(Core, TimeOutSettersKeepTheirValueWhenRefused) {
  EXPECT_EQ(SetWinSockTimeOut(0) + SetWinSockTimeOut(-1), -2);
  EXPECT_EQ(GetWinSockTimeOut(), 7);
  const std::tuple<float, int, int> cases[] = {{2.9f, 0, 2},
                                               {0.0f, -1, 7},
                                               {std::nanf(""), -1, 7},
                                               {3e9f, -1, 7},
                                               {2147483520.0f, 0, 2147483520}};
  for (const auto &[value, result, stored] : cases) {
    ASSERT_EQ(Set232TimeOut(7), 0);
    EXPECT_EQ(SetKov74TimeOut(value), result) << value;
    EXPECT_EQ(Get232TimeOut(), stored) << value;
  }
}

// A missing driver's version leaves the buffer alone; the PC's address needs an open Pelo.
TEST_F(Core, VersionsAndTheLocalAddress) {
  char text[VELDC_HOSTNAME_SIZE] = "keep";
  vp.SetModulePresent("KOV74C.DLL", false);  // unreadable: the buffer is not touched
  EXPECT_EQ(Outcome(GetKov74cVersion(text)), "-1 10 KOV74 dll not found");
  EXPECT_STREQ(text, "keep");
  EXPECT_EQ(Outcome(GetLocalIPAddress(nullptr)), "-1 3 Wrong parameters");
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0), 1016);
  EXPECT_EQ(Outcome(GetLocalIPAddress(text)), "-1 2 Device not initialized");
  ASSERT_EQ(ExitCOMM(), 0);
  ASSERT_EQ(InitCOMM(1, DEV_PELO, 0, 0), 1);
  vp.SetHostName("clockhost");
  vp.SetHostAddress("clockhost", 0xC0A8000Au);
  EXPECT_EQ(GetLocalIPAddress(text), 0);
  EXPECT_STREQ(text, "192.168.0.10");
  vp.Fail(Call::WsGetHostByName);
  EXPECT_EQ(Outcome(GetLocalIPAddress(text)), "-1 9 Winsocket error");
  vp.Fail(Call::WsGetHostName);
  EXPECT_EQ(Outcome(GetLocalIPAddress(text)), "-1 9 Winsocket error");
}

// Each leaves no device and the driver freed (and closed once it had opened).
TEST_F(Kov74Test, OpenRefusalsMapToTheirCodesAndFreeTheDriver) {
  const std::tuple<int, int, bool, const char *, const char *> cases[] = {
      {0, 0, true, "", "11 KOV74 com port not found"},
      {-9, 0, true, "", "20 Unable to setup KOV74 port"},
      {-10, 0, true, "", "20 Unable to setup KOV74 port"},
      {1, -1, true, "", "21 Wrong KOV74 speed"},
      {1, 0, false, "", "10 KOV74 dll not found"},
      {1, 0, true, "Kov74Send", "10 KOV74 dll not found"}};
  for (const auto &[open, speed, present, missing, state] : cases) {
    SCOPED_TRACE(state);
    driver.openResult = open;
    driver.speedResult = speed;
    vp.SetModulePresent("KOV74C.DLL", present);
    if (*missing != '\0') vp.RemoveSymbol(missing);
    vp.ClearLog();
    EXPECT_EQ(InitCOMM(1, DEV_KOV74_MODE0, 19200, 0), -1);
    EXPECT_EQ(ErrorState(), state);
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE);
    EXPECT_EQ(vp.LoadedModuleCount(), 0);
    EXPECT_EQ(vp.LogOf(Call::Kov74Open).size(), present && *missing == '\0' ? 1u : 0u);
    EXPECT_EQ(vp.LogOf(Call::Kov74Close).size(), speed != 0 ? 1u : 0u);
  }
}

// A failed close leaves the device open for another try; a second close after success is refused.
TEST(CloseFailure, LeavesTheDeviceOpen) {
  const std::tuple<int, int, Call, int64_t, const char *> cases[] = {
      {DEV_SERIAL_DIRECT, 9600, Call::ComClose, 0, "31 Unable to close RS232 port"},
      {DEV_KOV74_MODE0, 0, Call::Kov74Close, -255, "29 Bad KOV74 port ID"},
      {DEV_KOV74_MODE1, 0, Call::Kov74Close, 4, "30 Unable to close KOV74 port"},
      {DEV_PELO, 0, Call::WsCleanup, 10093, "98 Error closing WinSocket: 10093"}};
  for (const auto &[kind, speed, call, result, state] : cases) {
    TestPlatform vp;
    ASSERT_GE(InitCOMM(1, kind, speed, 0), 0) << state;
    vp.Fail(call, 1, result);
    EXPECT_EQ(ExitCOMM(), -1);
    EXPECT_EQ(ErrorState(), state);
    EXPECT_EQ(DeviceState.nDeviceKind, kind);
    EXPECT_EQ(ExitCOMM(), 0) << state;
    EXPECT_EQ(vp.LoadedModuleCount(), 0) << state;
    EXPECT_EQ(Outcome(ExitCOMM()), "-1 2 Device not initialized");
  }
}

TEST(PortNames, TheNameSetIsOpenedAndADroppedOneGivesTheDefault) {
  TestPlatform vp;
  const std::string longName(256, 'x');
  for (const auto &[port, name] :
       {std::pair<int, const char *>{0, "/dev/pts/3"}, {5, "/dev/pts/3"}, {2, longName.c_str()}}) {
    EXPECT_EQ(Outcome(SetPortName(port, name)), "-1 3 Wrong parameters") << port;
  }
  EXPECT_EQ(Outcome(SetPortName(2, longName.substr(1).c_str())), "0 0 None");
  EXPECT_EQ(InitCOMM(2, DEV_SERIAL_DIRECT, 9600, 0) + ExitCOMM(), 760);
  EXPECT_EQ(vp.LogOf(Call::ComOpen).back().text, longName.substr(1));
  EXPECT_EQ(SetPortName(2, nullptr) + InitCOMM(2, DEV_SERIAL_DIRECT, 9600, 0) + ExitCOMM(), 760);
  EXPECT_EQ(vp.LogOf(Call::ComOpen).back().text, vp.DefaultPortName(2)) << "a dropped name";
}

}  // namespace
}  // namespace veldc::test
