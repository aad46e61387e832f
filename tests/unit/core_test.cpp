// The error state, time-out settings and versions; pauses and time-outs across the counters'
// wraps; WinSock's address texts; the PC's own address.
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/errors.h"
#include "device/device.h"
#include "device/timing.h"
#include "platform/winsock_text.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

class Core : public ::testing::Test {
 protected:
  TestPlatform vp;
};

TEST_F(Core, PausesLastTheirLengthAlsoWhereTheCounterPassesThirtyTwoBits) {
  const auto real = std::chrono::steady_clock::now();
  for (const int64_t start : {int64_t{0}, int64_t{0xFFFFFFFF} - 3000, int64_t{1} << 40}) {
    vp.SetCounterStart(start);
    for (const int ms : {1, 2, 750, 2000}) {
      const auto before = vp.Now();
      device::WaitMs(ms);
      EXPECT_TRUE(Within(vp.Now() - before, ms * 1000u, ms * 1000u + 100u)) << start << " " << ms;
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - real, std::chrono::seconds(1))
      << "8 s of virtual pauses cost real time";
  const auto before = vp.Now();
  device::WaitMs(0);
  device::WaitMs(-5);
  EXPECT_LT(vp.Now() - before, 100u);
}

TEST_F(Core, TimeOutsSurviveTheTickCountWrapAndCountHalfSeconds) {
  for (const uint32_t start : {0u, 0xFFFFFFFFu - 200u, 0xFFFFFFFFu}) {
    vp.SetTickStart(start);
    const device::Deadline deadline(500);
    const auto before = vp.Now();
    while (!deadline.Expired()) {
    }
    EXPECT_TRUE(Within(vp.Now() - before, 499000u, 501000u)) << start;
  }
  const std::pair<int64_t, uint32_t> halves[] = {
      {1, 500}, {20, 10000}, {0, 0}, {-3, 0}, {int64_t{1} << 40, 0xFFFFFFFFu}};
  for (const auto &[units, ms] : halves) {
    const auto d = device::Deadline::HalfSeconds(units);
    vp.Advance(static_cast<uint64_t>(ms) * 1000 - (ms ? 1000 : 0));
    EXPECT_EQ(d.Expired(), ms == 0) << units;
  }
}

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
  SetError(kErrWinSockTimeout);  // a plain code shows its table text, not the older one
  EXPECT_EQ(ErrorState(), "79 WinSocket timeout expired");
  // WinSock number 0 asks WinSock for its last error.
  ASSERT_EQ(InitCOMM(1, DEV_PELO, 0, 0), 1);
  vp.Fail(Call::WsSend, 1, 10054);
  device::DeviceState.WinSockTable.send(0, "x", 1, 0);
  nErrorCode = kErrReceiveMessage;
  EXPECT_EQ(Outcome(SetWinSockError(0)), "10054 78 Error receving message: 10054");
}

TEST_F(Core, TimeOutSettersKeepTheirValueWhenRefused) {
  EXPECT_EQ(Get232TimeOut(), 10);
  EXPECT_EQ(GetWinSockTimeOut(), 7);
  SetError(kErrNoReply);
  EXPECT_EQ(Outcome(Set232TimeOut(30)), "0 40 No reply from terminal") << "setters leave the code";
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
  // The Kov74 setting truncates, and refuses what has no integer form.
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
  char text[VELDC_VERSION_SIZE] = "keep";
  vp.SetModulePresent("KOV74C.DLL", false);  // unreadable: the buffer is not touched
  EXPECT_EQ(Outcome(GetKov74cVersion(text)), "-1 10 KOV74 dll not found");
  EXPECT_STREQ(text, "keep");
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

TEST(WinSockText, InetAddrReadsLikeWinSock) {
  using namespace platform;
  const std::pair<const char *, uint32_t> cases[] = {
      // host order
      {"127.0.0.1", 0x7F000001},   {"192.168.1.200", 0xC0A801C8}, {"0x7f.1", 0x7F000001},
      {"0177.0.0.01", 0x7F000001}, {"10.1.258", 0x0A010102},      {"167772161", 0x0A000001},
      {"0", 0x00000000},           {"1.2.3.4 junk", 0x01020304},  {"0XAb.0xFF.0x1", 0xABFF0001},
      {"1.2.3.4\t", 0x01020304},   {"1.2.65535", 0x0102FFFF},     {"0377.0xffffff", 0xFFFFFFFF}};
  for (const auto &[text, host] : cases) EXPECT_EQ(WsInetAddr(text), WsHtonl(host)) << text;
  for (const char *refused : {"1.2.3.256", "", "1.2.3.4.5", "1..2", "0x", "09", "4294967296",
                              "1.2.3.", "1.2.3.4x", "1.16777216", "256.1", "1.256.1", "256.1.1",
                              "1.2.65536", "0xg", "0x100000000", "1.2.3.4\x01"}) {
    EXPECT_EQ(WsInetAddr(refused), kWsInaddrNone) << '"' << refused << '"';
  }
  EXPECT_EQ(WsInetAddr(nullptr), kWsInaddrNone);
  char out[16];
  EXPECT_STREQ(WsInetNtoa(WsInetAddr("0x7f.1"), out), "127.0.0.1");
  EXPECT_STREQ(WsInetNtoa(WsHtonl(0xFFFFFFFF), out), "255.255.255.255");
  const uint16_t port = WsHtons(0x1234);
  const uint32_t word = WsHtonl(0x01020304);
  EXPECT_EQ(std::memcmp(&port, "\x12\x34", 2), 0);
  EXPECT_EQ(std::memcmp(&word, "\x01\x02\x03\x04", 4), 0);
}

}  // namespace
}  // namespace veldc::test
