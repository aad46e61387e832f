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

using device::bySelectedTerminal;

class Selection : public SerialTest {
 protected:
  // A terminal answering each line with the function's text and a CR ("" = silence).
  void Terminal(std::function<std::string(const std::string &)> terminal) {
    Answer([terminal](const std::string &line) -> std::optional<std::string> {
      const std::string reply = terminal(line);
      return reply.empty() ? std::nullopt : std::optional<std::string>(reply);
    });
  }
  size_t Count(size_t from, const std::string &prefix) const {
    return std::count_if(Heard().begin() + from, Heard().end(),
                         [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
  }
};

TEST_F(Selection, RefusedAddressesLeaveNoTerminalAndCauseNoTraffic) {
  EXPECT_EQ(Outcome(SetTerminal(1)), "-1 2 Device not initialized");
  const std::pair<int, int> refused[] = {
      {DEV_SERIAL_NETWORK, 0}, {DEV_SERIAL_DIRECT, 1}, {DEV_SERIAL_LOGON, 32}};
  for (const auto &[kind, outOfRange] : refused) {
    Open(kind);
    for (const int address : {255, -1, outOfRange}) {
      for (auto *select : {&SetTerminal, &ChgTerminal}) {
        bySelectedTerminal = 1;
        EXPECT_EQ(Outcome(select(address)), "-1 3 Wrong parameters") << kind << " " << address;
        EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL);
      }
    }
    EXPECT_EQ(Written(), "");
    ASSERT_EQ(ExitCOMM(), 0);
  }
}

// Both calls switch the interface alike: XON, 2 s, the input purged, ">PS", 100 ms; only
// SetTerminal goes on to identify.
TEST_F(Selection, NetworkInterfaceSelectionTimingAndFrames) {
  Open(DEV_SERIAL_NETWORK);
  peer.SetResponder([](const std::string &line) {
    return line == "012%XI" ? std::string("012Dulm 3\r") : std::string();
  });
  for (auto *select : {&SetTerminal, &ChgTerminal}) {
    vp.ClearWritten();
    vp.ClearLog();
    ASSERT_EQ(select(12), 0) << ErrorState();
    const auto writes = vp.Writes();
    const bool identifies = select == &SetTerminal;
    ASSERT_EQ(writes.size(), identifies ? 3u : 2u);
    EXPECT_EQ(writes[0].second, "\x11");
    EXPECT_EQ(writes[1].second, ">PS012\r");
    EXPECT_TRUE(Within(writes[1].first - writes[0].first, 2000000u, 2000100u));
    const auto purges = vp.LogOf(Call::ComPurge);
    ASSERT_GE(purges.size(), 1u);
    EXPECT_EQ(purges[0].a, static_cast<int64_t>(platform::kPurgeRxClear));
    EXPECT_TRUE(Within(purges[0].at, writes[0].first + 2000000u, writes[1].first + 1));
    EXPECT_EQ(writes.back().second, identifies ? "012%XI\r" : ">PS012\r");
    const Micros next = identifies ? writes[2].first : vp.Now();
    EXPECT_TRUE(Within(next - writes[1].first, 100000u, 100100u));
    EXPECT_EQ(bySelectedTerminal, 12);
  }
  EXPECT_EQ(protocol::bSorvikModel, 0);
}

TEST_F(Selection, DirectLineProbesTheEchoAndIdentifies) {
  for (const int echoes : {0, 1}) {
    Open(DEV_SERIAL_DIRECT);
    const size_t heard = Heard().size();
    peer.SetResponder([echoes](const std::string &line) {
      const std::string answer = line == "%XI" ? "Sorvik 1 P" : line == "QRX" ? "?" : "OK";
      return (echoes ? line + "\r" : "") + answer + "\r";
    });
    ASSERT_EQ(SetTerminal(0), 0) << ErrorState();
    EXPECT_EQ(protocol::bLineEcho, echoes);
    ASSERT_GE(Heard().size(), heard + 3);
    EXPECT_EQ(Lines(Heard().begin() + heard, Heard().begin() + heard + 3),
              (Lines{"QRX", "", "%XI"}));
    char reply[VELDC_REPLY_SIZE];
    ASSERT_EQ(SendCommand("HELLO", reply), 0);
    EXPECT_STREQ(reply, "OK") << "an echo is read and dropped before the reply";
    ASSERT_EQ(ExitCOMM(), 0);
  }
  EXPECT_EQ(protocol::bSorvikModel, 1);
}

// A first "%XI" reply that names no model: the terminal is reset and asked again. A locked
// terminal is opened with the password (read from parameter 89 when the host set none).
TEST_F(Selection, UnknownModelIsResetAndAskedAgainAndPasswordRescue) {
  const struct {
    const char *reset, *second, *outcome;  // replies to "%%" and the second "%XI"
  } cases[] = {{"RESET !!!", "Qyr 9 F", "0 0 None"},
               {"", "Veld", "-1 43 Reset command ignored"},
               {"done", "Veld", "-1 44 Reset not performed"},
               {"!!!", "", "-1 46 No reply to ID request"},
               {"!!!", "vELD", "-1 66 Bad reply to ID request"}};
  for (const auto &c : cases) {
    Open(DEV_SERIAL_DIRECT);
    int ids = 0;
    Terminal([&ids, &c](const std::string &line) -> std::string {
      if (line == "%XI") return ++ids == 1 ? "nobody" : c.second;
      if (line == "%%") return c.reset;
      if (line == "\x04") return "\x04*";
      return line == "QRX" ? "?" : "OK";
    });
    EXPECT_EQ(Outcome(SetTerminal(0)), c.outcome);
    EXPECT_EQ(bySelectedTerminal, c.outcome[0] == '0' ? 0 : device::NO_TERMINAL) << c.outcome;
    ASSERT_EQ(ExitCOMM(), 0);
  }
  for (const bool rightPassword : {true, false}) {
    Open(DEV_SERIAL_DIRECT);
    bool loggedOn = false;
    Terminal([&](const std::string &line) -> std::string {
      if (line == "PW 80264") loggedOn = true;
      if (line == "CFG 89") return rightPassword ? "CFG 89 80264" : "CFG 89 11111";
      if (!loggedOn) return line == "\x04" ? ".." : "";
      return line == "%XI" ? "Veld" : "OK";
    });
    EXPECT_EQ(Outcome(SetTerminal(0)), rightPassword ? "0 0 None" : "-1 43 Reset command ignored");
    EXPECT_TRUE(loggedOn) << "the password was sent";
    EXPECT_EQ(bySelectedTerminal, rightPassword ? 0 : device::NO_TERMINAL);
    ASSERT_EQ(ExitCOMM(), 0);
  }
}

TEST_F(Selection, LogonLine) {
  struct {
    int address;
    const char *logoff;              // the reply to every "LOGOFF" ("" = silence)
    std::vector<std::string> logon;  // the replies to successive "LOGON nnn"
    const char *outcome;
    int selected;
    size_t logons;  // "LOGON nnn" lines sent
  } cases[] = {
      {7, "LOGOFF ??", {"LOGON 007"}, "0 0 None", 7, 1},
      {7, "LOGOFF", {"LOGON 999", "LOGON 007"}, "0 0 None", 7, 2},
      {3, "LOGOFF", {"LOGON 999", "NO"}, "-1 81 Bad reply to LOGON", 3, 2},
      {3, "BYE", {}, "-1 80 Bad reply to LOGOFF", 3, 0},
      {3, "LOGOFF", {""}, "-1 40 No reply from terminal", 3, 1},
      {0, "LOGOFF", {}, "0 0 None", 0, 0},
      // A silent LOGOFF is retried once the terminal has identified itself.
      {5, "", {}, "-1 40 No reply from terminal", device::NO_TERMINAL, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.address) + " " + c.logoff);
    Open(DEV_SERIAL_LOGON);
    const size_t heard = Heard().size();
    size_t logons = 0;
    Terminal([&](const std::string &line) -> std::string {
      if (line == "LOGOFF") return c.logoff;
      if (line.rfind("LOGON", 0) == 0) return logons < c.logon.size() ? c.logon[logons++] : "";
      return line == "%XI" ? "Veld" : "";
    });
    EXPECT_EQ(Outcome(SetTerminal(c.address)), c.outcome);
    EXPECT_EQ(bySelectedTerminal, c.selected);
    EXPECT_EQ(Count(heard, "LOGON"), c.logons);
    ASSERT_EQ(ExitCOMM(), 0);
  }
  // ChgTerminal ignores the replies (of a silent terminal: the loop's script is gone with it).
  Terminal([](const std::string &) { return std::string(); });
  Open(DEV_SERIAL_LOGON);
  const size_t heard = Heard().size();
  EXPECT_EQ(ChgTerminal(0), 0);
  EXPECT_EQ(HeardSince(heard), Lines{"LOGOFF"});
  EXPECT_EQ(ChgTerminal(31), 0);
  EXPECT_EQ(Heard().back(), "LOGON 031");
}

TEST_F(Selection, SorvikYearIsCorrectedOnlyInTheYear2000) {
  for (const int year : {2000, 2026}) {
    vp.SetUtcYear(year);
    Open(DEV_SERIAL_DIRECT);
    const size_t heard = Heard().size();
    peer.SetResponder([](const std::string &line) -> std::string {
      if (line == "%XI") return "Sorvik F\r";
      if (line == "DATE") return "DATE 3991231\r";
      return line.rfind("DATE ", 0) == 0 ? line + "\r" : "?\r";
    });
    ASSERT_EQ(SetTerminal(0), 0) << ErrorState();
    EXPECT_EQ(Count(heard, "DATE 3001231"), year == 2000 ? 1u : 0u);
    EXPECT_EQ(Count(heard, "DATE"), year == 2000 ? 2u : 0u);
    ASSERT_EQ(ExitCOMM(), 0);
  }
}

TEST_F(Selection, PasswordRules) {
  SetError(40);
  for (const char *bad : {"123456", "", static_cast<const char *>(nullptr)}) {
    EXPECT_EQ(SetPassword(bad), -1);
  }
  EXPECT_EQ(SetPassword("12345"), 0);
  EXPECT_STREQ(device::DeviceState.szPassword, "12345");
  EXPECT_EQ(ErrorState(), "40 No reply from terminal");
}

using Kov74Selection = Kov74Test;

TEST_F(Kov74Selection, PollsForThePresenceFlushesWaitingMessagesOrGivesUpAfterTenPolls) {
  Open();
  EXPECT_EQ(Outcome(SetTerminal(5)), "-1 47 Cannot talk with terminal");
  EXPECT_EQ(driver.polls.size(), 10u);
  EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL);
  EXPECT_EQ(Outcome(SetTerminal(0)), "-1 3 Wrong parameters");
  const size_t before = vp.Log().size();
  EXPECT_EQ(ChgTerminal(5), 0);
  EXPECT_EQ(vp.Log().size(), before) << "no traffic";

  driver.waiting.push_back({5, "OLD"});
  driver.present = true;
  driver.responder = [](int address, const std::string &text) {
    return ScriptKov74::Messages{{address, text == "%XI" ? "Veld" : "\x04*"}};
  };
  ASSERT_EQ(SetTerminal(5), 0) << ErrorState();
  ASSERT_GE(driver.sent.size(), 2u);
  EXPECT_EQ(driver.sent[0].second, "\x04") << "a waiting message is answered with EOT";
  EXPECT_EQ(driver.sent.back().second, "%XI");
}

}  // namespace
}  // namespace veldc::test
