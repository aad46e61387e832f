// The services against the simulated terminal, on virtual time: a file goes down and comes
// back byte for byte through the Kov74 driver, and Pelo lines wait the Pelo time-out.
#include <string>
#include <vector>

#include "sim/kov74_network.h"
#include "sim/pelo_adapter.h"
#include "sim/terminal.h"
#include "support/pelo_link.h"
#include "support/services_terminal.h"
#include "support/sim_links.h"
#include "support/test_platform.h"

namespace veldc::test {
namespace {

TEST(SimKov74Services, FileRoundTripThroughTheDriver) {
  TestPlatform vp;
  sim::Terminal terminal{"Dulm", 7, 'P'};
  sim::Kov74Network network;
  network.AddTerminal(&terminal);
  Kov74Link driver(network);
  vp.SetKov74(&driver);
  ASSERT_GT(InitCOMM(1, DEV_KOV74_MODE0, 0, 0), 0) << ErrorState();
  ASSERT_EQ(SetTerminal(7), 0) << ErrorState();
  TempDir files;
  const std::string content = Numbered(150);
  files.Write("in.txt", content);
  char name[] = "kov";
  ASSERT_EQ(SendFile(files.Path("in.txt").c_str(), name, 0, 0), 150) << ErrorState();
  ASSERT_EQ(RecvFile(name, files.Path("out.txt").c_str()), 150) << ErrorState();
  EXPECT_EQ(files.Read("out.txt"), content);
}

class SimPeloServices : public ::testing::Test {
 protected:
  void SetUp() override {
    link.adapter.AttachTerminal(&terminal);
    ASSERT_EQ(InitCOMM(5002, DEV_PELO, 0, 0), 5002) << ErrorState();
    ASSERT_EQ(SetWinSockTimeOut(3), 0);
    ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
    ASSERT_EQ(SetTerminal(5), 0) << ErrorState();
  }

  TestPlatform vp;
  SimPeloLink link{vp};
  sim::Terminal terminal{"Veld", 5};
  TempDir files;
};

// Lines of a listing and of an upload wait the Pelo time-out, not the serial one.
TEST_F(SimPeloServices, LinesWaitThePeloTimeOut) {
  terminal.PutFile('C', "CUT", {"one", "two", "three"});
  terminal.Faults().cutAfterLines = 1;
  char name[] = "cut";
  Micros start = vp.Now();
  EXPECT_EQ(Outcome(RecvFile(name, files.Path("out.txt").c_str())),
            "-1 79 WinSocket timeout expired");
  EXPECT_FALSE(files.Exists("out.txt"));
  EXPECT_GE(vp.Now() - start, 3000000u);
  EXPECT_LT(vp.Now() - start, 4000000u);

  terminal.Faults().cutAfterLines = 0;
  char entries[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT];
  start = vp.Now();
  EXPECT_EQ(Outcome(ListFiles(nullptr, entries)), "-1 79 WinSocket timeout expired");
  EXPECT_GE(vp.Now() - start, 3000000u);
  EXPECT_LT(vp.Now() - start, 4000000u);
}

}  // namespace
}  // namespace veldc::test
