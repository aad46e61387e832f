// The library's dial, a terminal exchange and the hang-up through the simulated modem, on
// virtual time: the modem's AT dialogue, data mode and escape as the library uses them.
#include <gtest/gtest.h>

#include <string>

#include "platform/virtual/virtual_platform.h"
#include "sim/direct_line.h"
#include "sim/modem.h"
#include "support/sim_links.h"
#include "veldc.h"

namespace veldc::sim {
namespace {

class ModemDialTest : public ::testing::Test {
 protected:
  ModemDialTest() : line_(terminal_), modem_(line_), link_(modem_) {
    vp_.AttachSerial(&link_);
    EXPECT_GT(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0), 0);
  }
  ~ModemDialTest() override { ExitCOMM(); }
  int Error() {
    char text[VELDC_ERROR_TEXT_SIZE];
    return GetError(text);
  }

  platform::virt::VirtualPlatform vp_;
  Terminal terminal_;
  DirectLine line_;
  Modem modem_;
  test::SerialLink link_;
};

TEST_F(ModemDialTest, DialSelectAndHangUp) {
  ASSERT_EQ(DialNumber("ATX3", "5551234", 45), 0) << Error();
  EXPECT_EQ(modem_.Commands(),
            (std::vector<std::string>{"ATE1Q0S7=45", "ATE1Q0S7=45", "ATX3", "ATD5551234"}));
  EXPECT_EQ(SetTerminal(0), 0) << Error();
  char time[VELDC_REPLY_SIZE];
  EXPECT_EQ(GetTime(time), 0) << Error();
  EXPECT_EQ(HangUp(), 0) << Error();
  EXPECT_FALSE(modem_.Connected());
}

}  // namespace
}  // namespace veldc::sim
