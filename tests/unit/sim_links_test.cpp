// A locked terminal on the simulated lines, on virtual time: the library's password opens it on
// an addressed network, but after "LOGON" a failed identification gets no password attempt.
#include "support/sim_links.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/virtual/virtual_platform.h"
#include "sim/logon_line.h"
#include "sim/network_interface.h"
#include "support/outcome.h"
#include "veldc.h"

namespace veldc::test {
namespace {

TEST(SimLinksTest, LockedTerminalIsOpenedWithThePasswordExceptAfterLogon) {
  for (const int kind : {DEV_SERIAL_NETWORK, DEV_SERIAL_LOGON}) {
    platform::virt::VirtualPlatform vp;
    sim::Terminal terminal("Veld", 7), other("Dulm", 1);
    terminal.SetPassword("4711");
    terminal.SetLocked(true);
    std::unique_ptr<sim::ByteLine> line;
    if (kind == DEV_SERIAL_LOGON) {
      line = std::make_unique<sim::LogonLine>(std::vector<sim::Terminal *>{&other, &terminal});
    } else {
      line = std::make_unique<sim::NetworkInterface>(std::vector<sim::Terminal *>{&terminal});
    }
    SerialLink link(*line);
    vp.AttachSerial(&link);
    ASSERT_GT(InitCOMM(1, kind, 9600, 0), 0);
    ASSERT_EQ(SetPassword("4711"), 0);
    const bool logon = kind == DEV_SERIAL_LOGON;
    EXPECT_EQ(Outcome(SetTerminal(7)), logon ? "-1 44 Reset not performed" : "0 0 None");
    EXPECT_EQ(terminal.Locked(), logon) << kind;
    EXPECT_EQ(ExitCOMM(), 0);
  }
}

}  // namespace
}  // namespace veldc::test
