// The error state, the time-out settings, version queries and the PC's own address.
#include <cmath>
#include <cstring>
#include <limits>

#include "core/errors.h"
#include "device/device.h"
#include "support/fixture.h"
#include "support/outcome.h"
#include "support/test_platform.h"

namespace veldc::test {
namespace {

class Core : public ::testing::Test {
 protected:
  TestPlatform vp;
};

TEST_F(Core, ErrorStateAndItsMessages) {
  EXPECT_EQ(ErrorState(), "0 None");
  SetError(kErrWrongTerminal);
  EXPECT_EQ(ErrorState(), "41 Reply from wrong terminal");
  EXPECT_EQ(ErrorState(), "41 Reply from wrong terminal") << "reading leaves the code";
  EXPECT_EQ(Outcome(GetError(nullptr)), "-1 3 Wrong parameters")
      << "a null buffer replaces the pending code";
  SetWindowsError(24);
  EXPECT_EQ(ErrorState(), "70 Windows error: 24");
  SetWinSockErrorCode(kErrSendMessage, 10035);
  EXPECT_EQ(ErrorState(), "77 Error sending message: 10035");
  SetWinSockErrorCode(kErrWinSockStartup, std::numeric_limits<int32_t>::min());
  char text[VELDC_ERROR_TEXT_SIZE];
  EXPECT_EQ(GetError(text), 72) << "the longest message fits the documented buffer";
  EXPECT_STREQ(text, "Error in WinSocket startup: -2147483648");
  // A plain code set later shows its table text, not the older dynamic one.
  SetError(kErrWinSockTimeout);
  EXPECT_EQ(ErrorState(), "79 WinSocket timeout expired");
}

TEST_F(Core, WinSockNumberZeroAsksWinSock) {
  ASSERT_EQ(InitCOMM(1, DEV_PELO, 0, 0), 1);
  vp.Fail(Call::WsSend, 1, 10054);
  device::DeviceState.WinSockTable.send(0, "x", 1, 0);  // leaves 10054 as the last error
  nErrorCode = kErrReceiveMessage;
  EXPECT_EQ(Outcome(SetWinSockError(0)), "10054 78 Error receving message: 10054");
}

TEST_F(Core, TimeOutSettersKeepTheirValueWhenRefused) {
  EXPECT_EQ(Get232TimeOut(), 10);
  EXPECT_EQ(GetWinSockTimeOut(), 7);
  SetError(kErrNoReply);
  EXPECT_EQ(Outcome(Set232TimeOut(30)), "0 40 No reply from terminal")
      << "setters leave the code alone";
  EXPECT_EQ(Get232TimeOut(), 30);
  for (int bad : {0, -5}) {
    EXPECT_EQ(Outcome(Set232TimeOut(bad)), "-1 3 Wrong parameters");
    EXPECT_EQ(Get232TimeOut(), 30);
  }
  EXPECT_EQ(SetWinSockTimeOut(30), 0);
  EXPECT_EQ(GetWinSockTimeOut(), 30);
  EXPECT_EQ(SetWinSockTimeOut(32767), 0);
  EXPECT_EQ(GetWinSockTimeOut(), 32767);
  for (short bad : {0, -1}) {
    EXPECT_EQ(SetWinSockTimeOut(bad), -1);
    EXPECT_EQ(GetWinSockTimeOut(), 32767);
  }
}

TEST_F(Core, Kov74TimeOutTruncatesAndRefusesWhatHasNoIntegerForm) {
  const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
  const struct {
    float value;
    int result, stored;
  } cases[] = {{2.9f, 0, 2}, {0.5f, 0, 0},  {0.0f, -1, 0}, {-1.0f, -1, 0},
               {nan, -1, 0}, {3e9f, -1, 0}, {inf, -1, 0},  {2147483520.0f, 0, 2147483520}};
  for (const auto &c : cases) {
    ASSERT_EQ(Set232TimeOut(7), 0);
    EXPECT_EQ(SetKov74TimeOut(c.value), c.result) << c.value;
    EXPECT_EQ(Get232TimeOut(), c.result == 0 ? c.stored : 7) << c.value;
  }
}

TEST_F(Core, VersionsReportTheTwoLowNumbers) {
  char text[VELDC_VERSION_SIZE] = "";
  vp.SetFileVersion("VELDC.DLL", (1u << 16) | 2u, (3u << 16) | 40u);
  EXPECT_EQ(GetVeldcVersion(text), 0);
  EXPECT_STREQ(text, "3.40");
  vp.SetFileVersion("KOV74C.DLL", (1u << 16) | 2u, 7u);
  EXPECT_EQ(GetKov74cVersion(text), 0);
  EXPECT_STREQ(text, "0.7");
  vp.SetFileVersion("KOV74C.DLL", 0, 0xFFFFFFFFu);
  EXPECT_EQ(GetKov74cVersion(text), 0);
  EXPECT_STREQ(text, "65535.65535");
  EXPECT_EQ(Outcome(GetVeldcVersion(nullptr)), "-1 3 Wrong parameters");
}

TEST_F(Core, UnreadableVersionFailsWithoutTouchingTheBuffer) {
  char text[VELDC_VERSION_SIZE] = "keep";
  vp.SetModulePresent("KOV74C.DLL", false);
  EXPECT_EQ(Outcome(GetKov74cVersion(text)), "-1 10 KOV74 dll not found");
  EXPECT_STREQ(text, "keep");
}

TEST_F(Core, LocalAddressNeedsAnOpenPelo) {
  char text[VELDC_HOSTNAME_SIZE];
  EXPECT_EQ(Outcome(GetLocalIPAddress(nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(GetLocalIPAddress(text)), "-1 2 Device not initialized");
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

}  // namespace
}  // namespace veldc::test
