// Selecting terminals: address rules, device preparation, identification, log-on.
#include <algorithm>
#include <string>
#include <vector>

#include "core/errors.h"
#include "device/device.h"
#include "protocol/exchange.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using platform::virt::Micros;

class Selection : public SerialTest {
 protected:
  // A terminal on a direct or log-on line, answering by a table of command -> reply.
  void Answer(std::function<std::string(const std::string &)> terminal) {
    peer.SetResponder([terminal](const std::string &line) {
      const std::string reply = terminal(line);
      return reply.empty() ? std::string() : reply + "\r";
    });
  }
  bool Sent(const std::string &line) const {
    for (const auto &l : peer.Lines()) {
      if (l == line) return true;
    }
    return false;
  }
};

std::string Veld(const std::string &line) {
  if (line == "%XI") return "Veld 2.1 F";
  if (line == "QRX") return "?";
  return "OK";
}

TEST_F(Selection, RefusedAddressesLeaveNoTerminalAndCauseNoTraffic) {
  EXPECT_EQ(SetTerminal(1), -1);
  EXPECT_EQ(ErrorState(), "2 Device not initialized");
  struct {
    int kind;
    std::vector<int> addresses;
  } refused[] = {{DEV_SERIAL_NETWORK, {255, -1, 0}},
                 {DEV_SERIAL_DIRECT, {255, -1, 1}},
                 {DEV_SERIAL_LOGON, {255, -1, 32}}};
  for (const auto &r : refused) {
    Open(r.kind);
    for (const int address : r.addresses) {
      for (auto *select : {&SetTerminal, &ChgTerminal}) {
        device::bySelectedTerminal = 1;
        EXPECT_EQ(select(address), -1);
        EXPECT_EQ(ErrorState(), "3 Wrong parameters") << r.kind << " " << address;
        EXPECT_EQ(device::bySelectedTerminal, device::NO_TERMINAL);
      }
    }
    EXPECT_EQ(Written(), "");
    ASSERT_EQ(ExitCOMM(), 0);
  }
}

TEST_F(Selection, NetworkInterfaceSelectionTimingAndFrames) {
  Open(DEV_SERIAL_NETWORK);
  peer.SetResponder([](const std::string &line) {
    return line == "012%XI" ? std::string("012Dulm 3\r") : std::string();
  });
  ASSERT_EQ(SetTerminal(12), 0) << ErrorState();
  const auto writes = vp.Writes();
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(writes[0].second, "\x11");
  EXPECT_EQ(writes[1].second, ">PS012\r");
  EXPECT_EQ(writes[2].second, "012%XI\r");
  EXPECT_GE(writes[1].first - writes[0].first, 2000000u);
  EXPECT_LT(writes[1].first - writes[0].first, 2000100u);
  EXPECT_GE(writes[2].first - writes[1].first, 100000u);
  EXPECT_LT(writes[2].first - writes[1].first, 100100u);
  EXPECT_EQ(protocol::bSorvikModel, 0);
}

TEST_F(Selection, ChgTerminalOnTheNetworkInterfaceOnlySwitches) {
  Open(DEV_SERIAL_NETWORK);
  ASSERT_EQ(ChgTerminal(7), 0);
  EXPECT_EQ(Written(), std::string("\x11") + ">PS007\r");
  EXPECT_EQ(device::bySelectedTerminal, 7);
}

TEST_F(Selection, DirectLineProbesTheEchoAndIdentifies) {
  Open(DEV_SERIAL_DIRECT);
  Answer(Veld);
  ASSERT_EQ(SetTerminal(0), 0) << ErrorState();
  EXPECT_EQ(protocol::bLineEcho, 0);
  ASSERT_GE(peer.Lines().size(), 3u);
  EXPECT_EQ(peer.Lines()[0], "QRX");
  EXPECT_EQ(peer.Lines()[1], "");
  EXPECT_EQ(peer.Lines()[2], "%XI");
  EXPECT_EQ(device::bySelectedTerminal, 0);
}

TEST_F(Selection, EchoingLineIsFoundAndItsEchoesSkipped) {
  Open(DEV_SERIAL_DIRECT);
  peer.SetResponder([](const std::string &line) {
    const std::string answer = line == "%XI" ? "Sorvik 1 P" : line == "QRX" ? "" : "OK";
    return line + "\r" + (answer.empty() ? "" : answer + "\r");
  });
  ASSERT_EQ(SetTerminal(0), 0) << ErrorState();
  EXPECT_EQ(protocol::bLineEcho, 1);
  EXPECT_EQ(protocol::bSorvikModel, 1);
  char reply[VELDC_REPLY_SIZE];
  ASSERT_EQ(SendCommand("HELLO", reply), 0);
  EXPECT_STREQ(reply, "OK");
}

TEST_F(Selection, ResetPathIdentifiesAfterAnUnknownFirstReply) {
  Open(DEV_SERIAL_DIRECT);
  int ids = 0;
  Answer([&ids](const std::string &line) -> std::string {
    if (line == "%XI") return ++ids == 1 ? "???" : "Qyr 9 F";
    if (line == "%%") return "RESET !!!";
    if (line == "\x04") return "\x04*";
    return "OK";
  });
  ASSERT_EQ(SetTerminal(0), 0) << ErrorState();
  EXPECT_EQ(ids, 2);
  EXPECT_TRUE(Sent("%%"));
}

struct IdFailure {
  const char *reset;   // reply to "%%" ("" = silence)
  const char *second;  // reply to the second "%XI" ("" = silence)
  const char *state;
};

class IdentificationFailure : public Selection, public ::testing::WithParamInterface<IdFailure> {};

TEST_P(IdentificationFailure, FailsWithTheIdentificationsCode) {
  const IdFailure f = GetParam();
  Open(DEV_SERIAL_DIRECT);
  int ids = 0;
  Answer([&ids, f](const std::string &line) -> std::string {
    if (line == "%XI") return ++ids == 1 ? "nobody" : f.second;
    if (line == "%%") return f.reset;
    if (line == "\x04") return "\x04*";
    if (line == "QRX") return "?";
    return "OK";
  });
  EXPECT_EQ(SetTerminal(0), -1);
  EXPECT_EQ(ErrorState(), f.state);
  EXPECT_EQ(device::bySelectedTerminal, device::NO_TERMINAL);
}

INSTANTIATE_TEST_SUITE_P(Codes, IdentificationFailure,
                         ::testing::Values(IdFailure{"", "Veld", "43 Reset command ignored"},
                                           IdFailure{"done", "Veld", "44 Reset not performed"},
                                           IdFailure{"!!!", "", "46 No reply to ID request"},
                                           IdFailure{"!!!", "vELD", "66 Bad reply to ID request"}));

TEST_F(Selection, PasswordRescue) {
  for (const bool rightPassword : {true, false}) {
    Open(DEV_SERIAL_DIRECT);
    bool loggedOn = false;
    Answer([&](const std::string &line) -> std::string {
      if (line == "PW 80264") loggedOn = true;
      if (line == "CFG 89") return rightPassword ? "CFG 89 80264" : "CFG 89 11111";
      if (!loggedOn && line == "\x04") return "..";
      if (!loggedOn) return "";
      return line == "%XI" ? "Veld" : "OK";
    });
    const int r = SetTerminal(0);
    EXPECT_TRUE(Sent("PW 80264"));
    if (rightPassword) {
      EXPECT_EQ(r, 0) << ErrorState();
      EXPECT_EQ(device::bySelectedTerminal, 0);
    } else {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(ErrorState(), "43 Reset command ignored");
      EXPECT_EQ(device::bySelectedTerminal, device::NO_TERMINAL);
    }
    ASSERT_EQ(ExitCOMM(), 0);
  }
}

TEST_F(Selection, LogonLineAcceptsEitherLogoffReplyAndNeedsTheLogonEcho) {
  Open(DEV_SERIAL_LOGON);
  Answer([](const std::string &line) -> std::string {
    if (line == "LOGOFF") return "LOGOFF ??";
    if (line == "LOGON 007") return "LOGON 007";
    if (line == "%XI") return "Veld";
    return "";
  });
  ASSERT_EQ(SetTerminal(7), 0) << ErrorState();
  EXPECT_TRUE(Sent("LOGON 007"));
  EXPECT_EQ(device::bySelectedTerminal, 7);
}

TEST_F(Selection, LogonLineFailures) {
  Open(DEV_SERIAL_LOGON);
  int logons = 0;
  Answer([&logons](const std::string &line) -> std::string {
    if (line == "LOGOFF") return "LOGOFF";
    if (line.rfind("LOGON", 0) == 0) return ++logons == 1 ? "LOGON 999" : "NO";
    return "";
  });
  EXPECT_EQ(SetTerminal(3), -1);
  EXPECT_EQ(ErrorState(), "81 Bad reply to LOGON");
  EXPECT_EQ(logons, 2);
  EXPECT_EQ(device::bySelectedTerminal, 3) << "the address stays after a LOGON refusal";
  Answer([](const std::string &line) { return line == "LOGOFF" ? "BYE" : ""; });
  EXPECT_EQ(SetTerminal(3), -1);
  EXPECT_EQ(ErrorState(), "80 Bad reply to LOGOFF");
}

TEST_F(Selection, ChgTerminalOnALogonLineIgnoresTheReplies) {
  Open(DEV_SERIAL_LOGON);
  EXPECT_EQ(ChgTerminal(0), 0);
  EXPECT_EQ(peer.Lines(), std::vector<std::string>{"LOGOFF"});
  EXPECT_EQ(ChgTerminal(31), 0);
  EXPECT_EQ(peer.Lines().back(), "LOGON 031");
}

TEST_F(Selection, SorvikYearIsCorrectedOnlyInTheYear2000) {
  for (const int year : {2000, 2026}) {
    ScriptPeer line;
    vp.AttachSerial(&line);
    vp.SetUtcYear(year);
    Open(DEV_SERIAL_DIRECT);
    line.SetResponder([](const std::string &line) -> std::string {
      if (line == "%XI") return "Sorvik F\r";
      if (line == "DATE") return "DATE 3991231\r";
      if (line.rfind("DATE ", 0) == 0) return line + "\r";
      return "?\r";
    });
    ASSERT_EQ(SetTerminal(0), 0) << ErrorState();
    const auto &lines = line.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "DATE 3001231"), year == 2000 ? 1 : 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "DATE"), year == 2000 ? 1 : 0);
    ASSERT_EQ(ExitCOMM(), 0);
  }
}

TEST_F(Selection, PasswordRules) {
  SetError(40);
  EXPECT_EQ(SetPassword("123456"), -1);
  EXPECT_EQ(SetPassword(""), -1);
  EXPECT_EQ(SetPassword(nullptr), -1);
  EXPECT_EQ(SetPassword("12345"), 0);
  EXPECT_STREQ(device::DeviceState.szPassword, "12345");
  EXPECT_EQ(ErrorState(), "40 No reply from terminal");
}

class Kov74Selection : public Kov74Test {};

TEST_F(Kov74Selection, PollsForThePresenceAndFlushesWaitingMessages) {
  Open();
  driver.waiting.push_back({5, "OLD"});
  driver.present = true;
  driver.responder = [](int address, const std::string &text) {
    if (text == "%XI") return std::vector<std::pair<int, std::string>>{{address, "Veld"}};
    return std::vector<std::pair<int, std::string>>{{address, "\x04*"}};
  };
  ASSERT_EQ(SetTerminal(5), 0) << ErrorState();
  ASSERT_GE(driver.sent.size(), 2u);
  EXPECT_EQ(driver.sent[0].second, "\x04") << "a waiting message is answered with EOT";
  EXPECT_EQ(driver.sent.back().second, "%XI");
}

TEST_F(Kov74Selection, TenPollsWithoutTheTerminal) {
  Open();
  EXPECT_EQ(SetTerminal(5), -1);
  EXPECT_EQ(ErrorState(), "47 Cannot talk with terminal");
  EXPECT_EQ(driver.polls.size(), 10u);
  EXPECT_EQ(device::bySelectedTerminal, device::NO_TERMINAL);
  EXPECT_EQ(SetTerminal(0), -1);
  EXPECT_EQ(ErrorState(), "3 Wrong parameters");
  const size_t before = vp.Log().size();
  EXPECT_EQ(ChgTerminal(5), 0);
  EXPECT_EQ(vp.Log().size(), before) << "no traffic";
}

}  // namespace
}  // namespace veldc::test
