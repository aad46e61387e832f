// A locked terminal on every link family, on virtual time: the library's password opens it,
// except after "LOGON", where a failed identification gets no password attempt.
#include "support/sim_links.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/virtual/virtual_platform.h"
#include "sim/direct_line.h"
#include "sim/logon_line.h"
#include "sim/network_interface.h"
#include "veldc.h"

namespace veldc::test {
namespace {

using platform::virt::VirtualPlatform;

struct Family {
  const char *name;
  int kind;
  int address;
};

class SimLinksTest : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    const Family &f = GetParam();
    terminal_ = std::make_unique<sim::Terminal>("Veld", f.address);
    other_ = std::make_unique<sim::Terminal>("Dulm", f.address == 0 ? 1 : 0);
    switch (f.kind) {
      case DEV_SERIAL_DIRECT:
        line_ = std::make_unique<sim::DirectLine>(*terminal_);
        break;
      case DEV_SERIAL_LOGON:
        line_ = std::make_unique<sim::LogonLine>(
            std::vector<sim::Terminal *>{other_.get(), terminal_.get()});
        break;
      case DEV_SERIAL_NETWORK:
        line_ =
            std::make_unique<sim::NetworkInterface>(std::vector<sim::Terminal *>{terminal_.get()});
        break;
      default:
        network_.AddTerminal(terminal_.get());
        break;
    }
    if (line_) {
      serial_ = std::make_unique<SerialLink>(*line_);
      vp_.AttachSerial(serial_.get());
    } else {
      driver_ = std::make_unique<Kov74Link>(network_);
      vp_.SetKov74(driver_.get());
    }
    ASSERT_GT(InitCOMM(1, f.kind, f.kind == DEV_KOV74_MODE0 ? 0 : 9600, 0), 0);
  }
  void TearDown() override { ExitCOMM(); }

  std::string Error() {
    char text[VELDC_ERROR_TEXT_SIZE] = {};
    return std::to_string(GetError(text)) + " " + text;
  }

  VirtualPlatform vp_;
  std::unique_ptr<sim::Terminal> terminal_, other_;
  std::unique_ptr<sim::ByteLine> line_;
  std::unique_ptr<SerialLink> serial_;
  sim::Kov74Network network_;
  std::unique_ptr<Kov74Link> driver_;
};

TEST_P(SimLinksTest, LockedTerminalIsSelectedWithItsPassword) {
  terminal_->SetPassword("4711");
  terminal_->SetLocked(true);
  ASSERT_EQ(SetPassword("4711"), 0);
  if (GetParam().kind == DEV_SERIAL_LOGON) {
    // After "LOGON" a failed identification gets no password attempt.
    EXPECT_EQ(SetTerminal(GetParam().address), -1);
    EXPECT_EQ(Error(), "44 Reset not performed");
    EXPECT_TRUE(terminal_->Locked());
    return;
  }
  EXPECT_EQ(SetTerminal(GetParam().address), 0) << Error();
  EXPECT_FALSE(terminal_->Locked());
}

INSTANTIATE_TEST_SUITE_P(Families, SimLinksTest,
                         ::testing::Values(Family{"direct", DEV_SERIAL_DIRECT, 0},
                                           Family{"logon", DEV_SERIAL_LOGON, 7},
                                           Family{"network", DEV_SERIAL_NETWORK, 12},
                                           Family{"kov74", DEV_KOV74_MODE0, 3}),
                         [](const ::testing::TestParamInfo<Family> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace veldc::test
