// The services against the simulated terminal, on virtual time: a file and a program go
// down and come back byte for byte, on the direct line and through the Kov74 driver.
#include <string>
#include <vector>

#include "sim/direct_line.h"
#include "sim/kov74_network.h"
#include "sim/pelo_adapter.h"
#include "sim/terminal.h"
#include "support/pelo_link.h"
#include "support/services_terminal.h"
#include "support/sim_links.h"

namespace veldc::test {
namespace {

std::string NumberedFile(int count) {
  std::string content;
  for (int i = 1; i <= count; ++i) content += "REC" + std::to_string(i) + ",VALUE\r\n";
  return content;
}

class SimServices : public ::testing::Test {
 protected:
  void SetUp() override {
    vp.AttachSerial(&link);
    ASSERT_GT(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0), 0) << ErrorState();
    ASSERT_EQ(SetTerminal(0), 0) << ErrorState();
  }

  VirtualPlatform vp;
  sim::Terminal terminal{"Veld", 0, 'F'};
  sim::DirectLine line{terminal};
  SerialLink link{line};
  TempDir files;
};

TEST_F(SimServices, FileRoundTrip) {
  const std::string content = NumberedFile(2000);
  files.Write("in.txt", content);
  char name[] = "big";
  ASSERT_EQ(SendFile(files.Path("in.txt").c_str(), name, 0, 0), 2000) << ErrorState();
  ASSERT_EQ(terminal.Files('C').at("BIG").records.size(), 2000u);

  char back[] = "big";
  ASSERT_EQ(RecvFile(back, files.Path("out.txt").c_str()), 2000) << ErrorState();
  EXPECT_EQ(files.Read("out.txt"), content);

  char entries[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT];
  EXPECT_EQ(ListFiles(nullptr, entries), 1) << ErrorState();
  EXPECT_EQ(std::string(entries).substr(0, 3), "BIG");

  char small[] = "small";
  files.Write("small.txt", "AB\r\nCD\r\n");
  ASSERT_EQ(SendFile(files.Path("small.txt").c_str(), small, 1, 5), 2) << ErrorState();
  char buffer[64];
  EXPECT_EQ(ViewFile(small, buffer, sizeof buffer), 2) << ErrorState();
  EXPECT_STREQ(buffer, "AB\r\nCD\r\n");
  EXPECT_EQ(DeleFile(small), 0) << ErrorState();
  EXPECT_EQ(terminal.Files('C').count("SMALL"), 0u);
}

TEST(SimKov74Services, FileRoundTripThroughTheDriver) {
  VirtualPlatform vp;
  sim::Terminal terminal{"Dulm", 7, 'P'};
  sim::Kov74Network network;
  network.AddTerminal(&terminal);
  Kov74Link driver(network);
  vp.SetKov74(&driver);
  ASSERT_GT(InitCOMM(1, DEV_KOV74_MODE0, 0, 0), 0) << ErrorState();
  ASSERT_EQ(SetTerminal(7), 0) << ErrorState();
  TempDir files;
  const std::string content = NumberedFile(150);
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

  VirtualPlatform vp;
  SimPeloLink link{vp};
  sim::Terminal terminal{"Veld", 5};
  TempDir files;
};

TEST_F(SimPeloServices, FileRoundTrip) {
  const std::string content = NumberedFile(200);
  files.Write("in.txt", content);
  char name[] = "pelo";
  ASSERT_EQ(SendFile(files.Path("in.txt").c_str(), name, 0, 0), 200) << ErrorState();
  ASSERT_EQ(RecvFile(name, files.Path("out.txt").c_str()), 200) << ErrorState();
  EXPECT_EQ(files.Read("out.txt"), content);
}

// Lines of a listing and of an upload wait the Pelo time-out, not the serial one.
TEST_F(SimPeloServices, LinesWaitThePeloTimeOut) {
  terminal.PutFile('C', "CUT", {"one", "two", "three"});
  terminal.Faults().cutAfterLines = 1;
  char name[] = "cut";
  Micros start = vp.Now();
  EXPECT_EQ(RecvFile(name, files.Path("out.txt").c_str()), -1);
  EXPECT_EQ(ErrorState(), "79 WinSocket timeout expired");
  EXPECT_FALSE(files.Exists("out.txt"));
  EXPECT_GE(vp.Now() - start, 3000000u);
  EXPECT_LT(vp.Now() - start, 4000000u);

  terminal.Faults().cutAfterLines = 0;
  char entries[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT];
  start = vp.Now();
  EXPECT_EQ(ListFiles(nullptr, entries), -1);
  EXPECT_EQ(ErrorState(), "79 WinSocket timeout expired");
  EXPECT_GE(vp.Now() - start, 3000000u);
  EXPECT_LT(vp.Now() - start, 4000000u);
}

}  // namespace
}  // namespace veldc::test
