// The Pelo kind under Windows: WSOCK32.DLL loaded by name, the link set up by address with the
// connect meter's dialog watched, and a terminal reached through the adapter. pelo_harness.sh
// puts veldc-sim's adapter on a network of the test's own and sets VELDC_PELO_ADDRESS.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "windows/veldc_dll.h"

namespace veldc::test {
namespace {

constexpr int kUdpPort = 5005;

class Win32Pelo : public DllSessionTest {
 protected:
  Win32Pelo() : DllSessionTest("VELDC_PELO_ADDRESS") {}
};

TEST_F(Win32Pelo, ConnectsWithTheMeterAndReachesATerminal) {
  ASSERT_EQ(dll_.InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort) << dll_.Error();
  MeterWatch watch{VELDC_METER_CONNECT, "Connecting....."};
  Watch(&watch);
  dll_.EnableMeter(1);
  ASSERT_EQ(dll_.SetIPAddress(value_.c_str()), 0) << dll_.Error();
  watch.ExpectShownOnce(0);

  char reply[VELDC_REPLY_SIZE] = {};
  ASSERT_EQ(dll_.PeloCommand("X", reply), 0) << dll_.Error();
  EXPECT_NE(std::strlen(reply), 0u);
  ASSERT_EQ(dll_.SetTerminal(1), 0) << dll_.Error();
  ASSERT_EQ(dll_.GetTime(reply), 0) << dll_.Error();
  EXPECT_EQ(std::strlen(reply), 6u) << reply;
  EXPECT_EQ(dll_.ExitCOMM(), 0) << dll_.Error();
}

TEST_F(Win32Pelo, AnAddressWithNoAdapterTimesOut) {
  ASSERT_EQ(dll_.InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort) << dll_.Error();
  ASSERT_EQ(dll_.SetWinSockTimeOut(1), 0);
  // Nobody answers at .20 on the test's network: the set-up gives up after its time-out.
  const DWORD start = GetTickCount();
  EXPECT_EQ(dll_.SetIPAddress("192.168.0.20"), -1);
  const DWORD took = GetTickCount() - start;
  EXPECT_EQ(dll_.Error(), "79 WinSocket timeout expired");
  EXPECT_GE(took, 900u);
  EXPECT_LT(took, 5000u);
  EXPECT_EQ(dll_.ExitCOMM(), 0) << dll_.Error();
  dll_.SetWinSockTimeOut(7);
}

}  // namespace
}  // namespace veldc::test
