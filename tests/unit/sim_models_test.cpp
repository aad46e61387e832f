// The simulator where the library's own tests do not reach it: the signed checksum that ends a
// typed file, the settings that make the simulated Kov74 driver fail (users of the driver
// stand-in rely on them), and a locked terminal that the library's password opens on an
// addressed network but not after "LOGON" (a failed identification gets no password attempt).
#include <memory>
#include <string>
#include <vector>

#include "sim/logon_line.h"
#include "sim/network_interface.h"
#include "sim/terminal.h"
#include "support/fixture.h"

namespace veldc::sim {
namespace {

TEST(TerminalTest, TypeChecksumUsesSignedBytesAndKeepsTheSign) {
  Terminal terminal;
  // Each 0xFF counts -1; 300 of them sum to -300.
  terminal.PutFile('C', "HIGH", {std::string(150, '\xff'), std::string(150, '\xff')});
  std::vector<std::string> reply = terminal.Handle("TYPE HIGH", 0);
  ASSERT_EQ(reply.size(), 4u);
  EXPECT_EQ(reply.back(),
            "\x04"
            "2 RECS -300");
  // 400 records of 100 'z' (122) sum to 4880000, which is 30336 modulo 32768.
  terminal.PutFile('C', "BIG", std::vector<std::string>(400, std::string(100, 'z')));
  EXPECT_EQ(terminal.Handle("TYPE BIG", 0).back(),
            "\x04"
            "400 RECS 30336");
}

TEST(Kov74NetworkTest, SettingsOverrideResults) {
  const struct {
    const char *settings;
    int open, speed, poll, send, close;
  } cases[] = {
      {"", 1, 0, 1, 0, 0},
      {"open=-3", -3, -1, 0, 1, -255},
      {"open=0;speed=-2", 0, -2, 0, 1, -255},
      {"poll=0,send=1", 1, 0, 0, 1, 0},
      {"close=-7", 1, 0, 1, 0, -7},
      {"send=1;reset", 1, 0, 1, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.settings);
    Kov74Network net;
    net.CreateTerminals(2, "Veld");
    ASSERT_TRUE(net.Apply(c.settings));
    char record[200];
    EXPECT_EQ(net.Open(1, 0, 254, 0), c.open);
    EXPECT_EQ(net.SetSpeed(1), c.speed);
    EXPECT_EQ(net.Poll(1, record, 0), c.poll);
    EXPECT_EQ(net.Send(1, "%XI", 0), c.send);
    EXPECT_EQ(net.Close(), c.close);
  }
  EXPECT_FALSE(Kov74Network().Apply("terminals=2;bogus=1"));
}

TEST(SimLinksTest, LockedTerminalIsOpenedWithThePasswordExceptAfterLogon) {
  for (const int kind : {DEV_SERIAL_NETWORK, DEV_SERIAL_LOGON}) {
    test::TestPlatform vp;
    Terminal terminal("Veld", 7), other("Dulm", 1);
    terminal.SetPassword("4711");
    terminal.SetLocked(true);
    const bool logon = kind == DEV_SERIAL_LOGON;
    std::unique_ptr<ByteLine> line;
    if (logon) {
      line = std::make_unique<LogonLine>(std::vector<Terminal *>{&other, &terminal});
    } else {
      line = std::make_unique<NetworkInterface>(std::vector<Terminal *>{&terminal});
    }
    test::SerialLink link(*line);
    vp.AttachSerial(&link);
    ASSERT_GT(InitCOMM(1, kind, 9600, 0), 0);
    ASSERT_EQ(SetPassword("4711"), 0);
    EXPECT_EQ(test::Outcome(SetTerminal(7)), logon ? "-1 44 Reset not performed" : "0 0 None");
    EXPECT_EQ(terminal.Locked(), logon) << kind;
    EXPECT_EQ(ExitCOMM(), 0);
  }
}

}  // namespace
}  // namespace veldc::sim
