// The Pelo kind under Windows: WSOCK32.DLL loaded by name, the link set up by address with the
// connect meter's dialog up, and a terminal reached through the adapter. pelo_harness.sh
// puts veldc-sim's adapter on a network of the test's own and sets VELDC_PELO_ADDRESS.
#include <cstring>

#include "windows/session.h"

namespace veldc::test {
namespace {

class Win32Pelo : public SessionTest {
 protected:
  Win32Pelo() : SessionTest("VELDC_PELO_ADDRESS") {}
};

TEST_F(Win32Pelo, ConnectsAndReachesATerminal) {
  ASSERT_EQ(InitCOMM(5005, DEV_PELO, 0, 0), 5005) << Error();
  ASSERT_EQ(SetIPAddress(value_.c_str()), 0) << Error();
  char reply[VELDC_REPLY_SIZE] = {};
  ASSERT_EQ(PeloCommand("X", reply), 0) << Error();
  EXPECT_NE(std::strlen(reply), 0u);
  ASSERT_EQ(SetTerminal(1), 0) << Error();
  ASSERT_EQ(GetTime(reply), 0) << Error();
  EXPECT_EQ(std::strlen(reply), 6u) << reply;
  EXPECT_EQ(ExitCOMM(), 0) << Error();
}

// Nobody answers at .20 on the test's network: the set-up gives up after its time-out.
TEST_F(Win32Pelo, AnAddressWithNoAdapterTimesOut) {
  ASSERT_EQ(InitCOMM(5005, DEV_PELO, 0, 0), 5005) << Error();
  ASSERT_EQ(SetWinSockTimeOut(1), 0);
  const DWORD start = GetTickCount();
  EXPECT_EQ(Outcome(SetIPAddress("192.168.0.20")), "-1 79 WinSocket timeout expired");
  const DWORD took = GetTickCount() - start;
  EXPECT_TRUE(took >= 900 && took < 5000) << took;
  EXPECT_EQ(ExitCOMM(), 0) << Error();
  SetWinSockTimeOut(7);
}

}  // namespace
}  // namespace veldc::test
