// Dialling and hanging up a modem on the serial port.
#include <string>

#include "core/errors.h"
#include "protocol/exchange.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using platform::virt::Micros;

// A Hayes modem: echoes command lines, answers OK, connects on ATD; empty texts: the usual.
struct ModemScript {
  std::string setupEcho;                            // echo to the set-up command
  std::string dialAnswer = "\r\nCONNECT 9600\r\n";  // comes when the carrier does
  std::string initReply = "", dialEcho = "";        // to the init string, to ATD
  bool silent = false;
};

class Modem : public SerialTest {
 protected:
  void Script(ModemScript m) {
    peer.SetResponder([this, m](const std::string &line) -> std::string {
      const auto mine = [&line](const std::string &s) { return s.empty() ? line : s; };
      if (m.silent || line.empty()) return "";
      if (line.rfind("ATE1Q0S7=", 0) == 0) return mine(m.setupEcho) + "\r\r\nOK\r\n";
      if (line.rfind("ATD", 0) == 0) {
        peer.SendLater(m.dialAnswer, 3000000);
        return mine(m.dialEcho) + "\r";
      }
      return m.initReply.empty() ? line + "\r\r\nOK\r\n" : m.initReply;
    });
  }
  // A modem that answers only the escape and the hang-up command.
  void OnHangUp(std::string escape, std::string hangUp) {
    peer.SetResponder([escape, hangUp](const std::string &line) {
      return line == "+++" ? escape : line == "ATH0" ? hangUp : std::string();
    });
  }
  size_t TxPurges() const {
    size_t n = 0;
    for (const auto &e : vp.LogOf(Call::ComPurge)) n += e.a == platform::kPurgeTxClear;
    return n;
  }
  void SetUp() override {
    SerialTest::SetUp();
    Open(DEV_SERIAL_DIRECT);
  }
};

TEST_F(Modem, DialsAndConnects) {
  Script({});
  ASSERT_EQ(DialNumber("AT&F", "0123456", 45), 0) << ErrorState();
  const std::vector<std::string> expected = {"", "ATE1Q0S7=45", "ATE1Q0S7=45", "AT&F",
                                             "ATD0123456"};
  EXPECT_EQ(peer.Lines(), expected);
  EXPECT_EQ(protocol::bAddressedReplies, 1);
  EXPECT_STREQ(protocol::szReplyText, "CONNECT 9600");
  // A lone carriage return, then the set-up command after 750 ms.
  const auto writes = vp.Writes();
  ASSERT_GE(writes.size(), 2u);
  EXPECT_TRUE(Within(writes[1].first - writes[0].first, 750000u, 750100u));
}

TEST_F(Modem, ArgumentsAreCheckedBeforeAnyWrite) {
  const std::string n32(32, '1'), n33(33, '1');
  struct {
    const char *init;
    const char *number;
    int timeout;
  } refused[] = {{nullptr, n33.c_str(), 30}, {nullptr, "", 30},      {n33.c_str(), "1", 30},
                 {nullptr, "1", 121},        {nullptr, nullptr, 30}, {nullptr, "1", -1}};
  for (const auto &r : refused) {
    EXPECT_EQ(Outcome(DialNumber(r.init, r.number, r.timeout)), "-1 3 Wrong parameters");
  }
  EXPECT_EQ(Written(), "");
  Script({});
  EXPECT_EQ(DialNumber(n32.c_str(), n32.c_str(), 120), 0) << ErrorState();
  EXPECT_EQ(peer.Lines()[1], "ATE1Q0S7=120");
}

TEST_F(Modem, WrongEchoesAndAnswers) {
  const struct {
    ModemScript script;
    const char *init;
    const char *state;
  } cases[] = {{{"ATE1Q0S7=4X"}, nullptr, "85 Not able to initialize modem"},
               {{"ERROR"}, nullptr, "85 Not able to initialize modem"},
               {{"", "\r\nNO CARRIER\r\n"}, nullptr, "83 Bad reply to dial command"},
               {{"", "\r\n\r\nBUSY\r\n"}, nullptr, "83 Bad reply to dial command"},
               {{"", ""}, nullptr, "83 Bad reply to dial command"},
               {{"", "", "ATZ!\r"}, "ATZ", "86 Bad modem initialization reply"},
               {{"", "", "", "ATDX"}, nullptr, "82 Bad echo to dial command"},
               {{"", "", "", "", true}, nullptr, "87 Bad modem echo"}};
  for (const auto &c : cases) {
    Script(c.script);
    EXPECT_EQ(DialNumber(c.init, "555", 4), -1);
    EXPECT_EQ(ErrorState(), c.state);
    EXPECT_EQ(protocol::bAddressedReplies, 1) << c.state;
  }
}

// The carrier wait ends at the host's cancel request; the line is the host's to hang up.
TEST_F(Modem, CarrierWaitIsCancelled) {
  peer.SetResponder([this](const std::string &line) -> std::string {
    if (line.rfind("ATD", 0) == 0) CancelOperation();
    return line.empty() ? "" : line + "\r\r\nOK\r\n";
  });
  const auto start = vp.Now();
  EXPECT_EQ(Outcome(DialNumber(nullptr, "555", 60)), "-1 61 Operation cancelled");
  EXPECT_LT(vp.Now() - start, 10000000u);  // of a 60 s wait
}

TEST_F(Modem, WrongFamilyIsRefusedWithoutTraffic) {
  ASSERT_EQ(ExitCOMM(), 0);
  for (int kind : {DEV_PELO, DEV_KOV74_MODE2}) {
    ASSERT_GE(InitCOMM(1, kind, 0, 0), 0);
    const size_t calls = vp.Log().size();
    EXPECT_EQ(Outcome(DialNumber(nullptr, "1", 1)), "-1 5 Wrong communication device");
    EXPECT_EQ(Outcome(HangUp()), "-1 5 Wrong communication device");
    EXPECT_EQ(vp.Log().size(), calls) << kind;
    ASSERT_EQ(ExitCOMM(), 0);
  }
  EXPECT_EQ(DialNumber(nullptr, "1", 1), -1);
  EXPECT_EQ(Outcome(HangUp()), "-1 2 Device not initialized");
}

TEST_F(Modem, HangsUpEvenWhenTheEscapeIsNotAnswered) {
  OnHangUp("", "ATH0\r\r\nOK\r\n");
  SetError(40);
  vp.ClearLog();
  const Micros start = vp.Now();
  ASSERT_EQ(HangUp(), 0) << ErrorState();
  EXPECT_EQ(Written(), "++++++ATH0\r");
  // 1 s, two escapes of 0.75 s + 2 × 2.5 s, then 0.75 s, the echo, two lines and 0.75 s.
  const Micros least = 1000000u + 2 * (750000u + 5000000u) + 750000u + 750000u;
  EXPECT_TRUE(Within(vp.Now() - start, least, least + 100000u));
  EXPECT_EQ(TxPurges(), 1u) << "the output queue is purged at the end";
  EXPECT_EQ(protocol::bAddressedReplies, 1);
}

TEST_F(Modem, HangUpFailuresAndTheNetworkInterfaceDeselectedBeforeTheEscape) {
  OnHangUp("", "ATH0\r\r\nERROR\r\n");
  vp.ClearLog();
  EXPECT_EQ(Outcome(HangUp()), "-1 84 Not able to hangup");
  EXPECT_EQ(TxPurges(), 1u);
  EXPECT_EQ(protocol::bAddressedReplies, 1);
  OnHangUp("", "");
  EXPECT_EQ(Outcome(HangUp()), "-1 87 Bad modem echo");
  ASSERT_EQ(ExitCOMM(), 0);
  Open(DEV_SERIAL_NETWORK);
  OnHangUp("\r\nOK\r\n", "ATH0\r\r\nOK\r\n");
  ASSERT_EQ(HangUp(), 0) << ErrorState();
  EXPECT_EQ(Written().rfind(">P0\r+++", 0), 0u);
}

}  // namespace
}  // namespace veldc::test
