// The Pelo kind under Windows: WSOCK32.DLL loaded by name, the link set up by address with the
// connect meter's dialog watched, and a terminal reached through the adapter. pelo_harness.sh
// puts veldc-sim's adapter on a network of the test's own and sets VELDC_PELO_ADDRESS.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "windows/veldc_dll.h"

namespace veldc::test {
namespace {

constexpr int kUdpPort = 5005;

struct ConnectWatch {
  int opens = 0;
  int steps = 0;
  int closes = 0;
  int stepsWithWindow = 0;
  std::string lastStatus;
};

HWND ConnectWindow() { return FindWindowA(nullptr, "Connecting....."); }

void VELDC_API OnProgress(void *context, int meter, int event, int, unsigned int, unsigned int,
                          const char *text) {
  auto *watch = static_cast<ConnectWatch *>(context);
  if (meter != VELDC_METER_CONNECT) return;
  if (event == VELDC_PROGRESS_OPEN) ++watch->opens;
  if (event == VELDC_PROGRESS_CLOSE) ++watch->closes;
  if (event == VELDC_PROGRESS_TEXT && text != nullptr) watch->lastStatus = text;
  if (event == VELDC_PROGRESS_STEP) {
    ++watch->steps;
    HWND w = ConnectWindow();
    if (w != nullptr && IsWindowVisible(w)) ++watch->stepsWithWindow;
  }
}

class Win32Pelo : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *address = std::getenv("VELDC_PELO_ADDRESS");
    if (address == nullptr) GTEST_SKIP() << "needs an adapter (pelo_harness.sh)";
    address_ = address;
    ASSERT_TRUE(dll_.Loaded());
  }
  void TearDown() override {
    if (dll_.Loaded()) {
      dll_.EnableMeter(0);
      dll_.SetProgressCallback(nullptr, nullptr);
      dll_.ExitCOMM();
    }
  }
  VeldcDll dll_;
  std::string address_;
};

TEST_F(Win32Pelo, ConnectsWithTheMeterAndReachesATerminal) {
  ASSERT_EQ(dll_.InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort) << dll_.Error();
  ConnectWatch watch;
  dll_.SetProgressCallback(OnProgress, &watch);
  dll_.EnableMeter(1);
  ASSERT_EQ(dll_.SetIPAddress(address_.c_str()), 0) << dll_.Error();
  EXPECT_EQ(watch.opens, 1);
  EXPECT_EQ(watch.closes, 1);
  EXPECT_EQ(watch.stepsWithWindow, watch.steps) << "the dialog exists while the link is set up";
  EXPECT_EQ(ConnectWindow(), nullptr) << "and is gone afterwards";

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
  char text[VELDC_ERROR_TEXT_SIZE] = {};
  EXPECT_NE(dll_.GetError(text), 0) << text;
  EXPECT_GE(took, 900u);
  EXPECT_LT(took, 5000u);
  EXPECT_EQ(dll_.ExitCOMM(), 0) << dll_.Error();
  dll_.SetWinSockTimeOut(7);
}

}  // namespace
}  // namespace veldc::test
