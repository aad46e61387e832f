// The simulated terminal and lines where the library's own tests do not reach them: the signed
// checksum that ends a typed file, the settings that make the simulated Kov74 driver fail
// (which users of the driver stand-in rely on), and a locked terminal on the simulated lines,
// on virtual time: the library's password opens it on an addressed network, but after "LOGON"
// a failed identification gets no password attempt.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/direct_line.h"
#include "sim/kov74_network.h"
#include "sim/line_output.h"
#include "sim/logon_line.h"
#include "sim/modem.h"
#include "sim/network_interface.h"
#include "sim/pelo_adapter.h"
#include "sim/terminal.h"
#include "support/fixture.h"
#include "veldc.h"

namespace veldc::sim {
namespace {

TEST(TerminalTest, TypeChecksumUsesSignedBytesAndKeepsTheSign) {
  const std::string eot = "\x04";
  Terminal terminal;
  // Each 0xFF counts -1; 300 of them sum to -300.
  terminal.PutFile('C', "HIGH", {std::string(150, '\xff'), std::string(150, '\xff')});
  std::vector<std::string> reply = terminal.Handle("TYPE HIGH", 0);
  ASSERT_EQ(reply.size(), 4u);
  EXPECT_EQ(reply.back(), eot + "2 RECS -300");
  // 400 records of 100 'z' (122) sum to 4880000, which is 30336 modulo 32768.
  terminal.PutFile('C', "BIG", std::vector<std::string>(400, std::string(100, 'z')));
  EXPECT_EQ(terminal.Handle("TYPE BIG", 0).back(), eot + "400 RECS 30336");
}

// A host that sends without line ends: the line in progress keeps its first bytes only, on the
// terminal lines and in the modem's command mode alike, and the next line is whole.
TEST(LineCollectorTest, AFloodWithoutLineEndsHoldsNoMoreThanALine) {
  const std::string flood(1 << 20, 'x'), cut(LineCollector::kMaxLine, 'x');
  LineCollector collector;
  Terminal terminal;
  DirectLine silent(terminal);
  Modem modem(silent);
  modem.FromHost("ATE0\r", 0);  // no echo: only the line is looked at
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(
        collector.Add(reinterpret_cast<const uint8_t *>(flood.data()), flood.size()).empty());
    modem.FromHost(flood, 0);
  }
  EXPECT_EQ(collector.Partial(), cut);
  const std::string next = "\rTIME\r";
  EXPECT_EQ(collector.Add(reinterpret_cast<const uint8_t *>(next.data()), next.size()),
            (std::vector<std::string>{cut, "TIME"}));
  modem.FromHost(next, 0);
  EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"ATE0", cut, "TIME"}));
}

// Found by the fuzzer: the adapter echoed a long link-form command whole, in a datagram past
// the 136 bytes of its record.
TEST(PeloAdapterTest, AnswersFitTheRecordWhateverTheHostSent) {
  PeloAdapter adapter;
  const PeloPacket sent{PeloPacket::kCommand, 1, "C3" + std::string(200, 'x')};
  const PeloPacket cut{PeloPacket::kCommand, 1, "C3" + std::string(129, 'x')};
  adapter.FromHost(sent.Encode(), 0);
  std::string answer;
  ASSERT_TRUE(adapter.ToHost(ByteLine::kNever - 1, &answer));
  EXPECT_EQ(answer, cut.Encode());
}

TEST(Kov74NetworkTest, SettingsOverrideResults) {
  struct Case {
    const char *settings;
    int open, speed, poll, send, close;
  };
  const Case cases[] = {
      {"", 1, 0, 1, 0, 0},
      {"open=-3", -3, -1, 0, 1, -255},
      {"open=0;speed=-2", 0, -2, 0, 1, -255},
      {"poll=0,send=1", 1, 0, 0, 1, 0},
      {"close=-7", 1, 0, 1, 0, -7},
      {"send=1;reset", 1, 0, 1, 0, 0},
  };
  for (const Case &c : cases) {
    Kov74Network net;
    net.CreateTerminals(2, "Veld");
    ASSERT_TRUE(net.Apply(c.settings)) << c.settings;
    char record[200];
    EXPECT_EQ(net.Open(1, 0, 254, 0), c.open) << c.settings;
    EXPECT_EQ(net.SetSpeed(1), c.speed) << c.settings;
    EXPECT_EQ(net.Poll(1, record, 0), c.poll) << c.settings;
    EXPECT_EQ(net.Send(1, "%XI", 0), c.send) << c.settings;
    EXPECT_EQ(net.Close(), c.close) << c.settings;
  }
  Kov74Network net;
  EXPECT_FALSE(net.Apply("terminals=2;bogus=1"));
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
