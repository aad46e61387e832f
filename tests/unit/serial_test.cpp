// The serial and Kov74 families: frames, replies, posted commands, selection, the modem.
#include <algorithm>

#include "core/errors.h"
#include "device/device.h"
#include "protocol/exchange.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using namespace std::string_literals;
using device::bySelectedTerminal;

std::string Send(const char *command) {
  char reply[VELDC_REPLY_SIZE] = "untouched";
  return SendCommand(command, reply) == 0 ? std::string("0 ") + reply : ErrorState();
}
std::string Collect() {
  char reply[VELDC_REPLY_SIZE] = "";
  return GetResponse(reply) == 0 ? std::string("0 ") + reply : ErrorState();
}

using SerialExchange = SerialTest;

TEST_F(SerialExchange, NetworkFrameCarriesTheAddressBothWaysPostedOrNot) {
  Select(DEV_SERIAL_NETWORK, 5);
  peer.Reply("005OK\r");
  EXPECT_EQ(Send("TIME"), "0 OK");
  EXPECT_EQ(Written(), "005TIME\r");
  // Unaddressed lines (the modem dialogue) are taken whole; "~S"/"~R" still fail them.
  const std::tuple<int, const char *, const char *> cases[] = {
      {1, "007OK\r", "41 Reply from wrong terminal"},
      {1, "005~S\r", "42 Cannot send a message"},
      {1, "005~R\r", "88 Cannot receive a message"},
      {1, "005\r", "88 Cannot receive a message"},
      {1, "005A~S~S\r", "0 A~S~S"},
      {0, "OK\r", "0 OK"},
      {0, "~S\r", "42 Cannot send a message"},
      {0, "\r", "0 "}};
  for (const auto &[addressed, line, result] : cases) {
    protocol::bAddressedReplies = addressed;
    peer.Reply(line);
    EXPECT_EQ(Send("TIME"), result) << line;
  }
  // A posted command returns at once; its reply is collected later.
  protocol::bAddressedReplies = 1;
  bySelectedTerminal = 12;
  vp.ClearWritten();
  peer.Reply("012OK\r");
  EXPECT_EQ(PostCommand("TIME"), 0);
  EXPECT_EQ(Written(), "012TIME\r");
  vp.Advance(50000);
  EXPECT_EQ(Collect(), "0 OK");
}

// What the direct line hears for each command and what becomes of each kind of line.
TEST_F(SerialExchange, LinesOfTheDirectKindAndTheirCollection) {
  Select(DEV_SERIAL_DIRECT, 0);
  const std::string longest(127, 'C'), x127(127, 'x');
  // The command (nullptr: the empty one), bLineEcho, the line and the result.
  const std::tuple<const char *, int, std::string, std::string> cases[] = {
      {longest.c_str(), 0, "OK\r", "0 OK"},
      {nullptr, 0, "E\r", "0 E"},
      {"A", 0, std::string(128, 'x'), "93 Record buffer overflow"},
      {"A", 0, x127 + "\r", "0 " + x127},
      {"A", 0, "", "40 No reply from terminal"},
      {"%%", 0, "\0\0!!!\r"s, "0 !!!"},
      {"X%%", 0, "\0AB\r"s, "0 "},  // only the exact reset command skips NULs
      {"TIME", 1, "TIME\rTIME 101010\r", "0 TIME 101010"},
  };
  for (const auto &[command, echo, line, result] : cases) {
    vp.ClearWritten();
    protocol::bLineEcho = echo;
    peer.Reply(line);
    EXPECT_EQ(Send(command), result) << line;
    EXPECT_EQ(Written(), std::string(command != nullptr ? command : "") + "\r");
  }
  // Collecting never waits; empty reads are counted by the ClearCommError calls.
  protocol::bLineEcho = 0;
  const std::tuple<std::string, uint32_t, const char *, size_t> collections[] = {
      {"PARTIAL", 0, "35 Bad RS232 end of record", 1024 - 7},
      {std::string(128, 'y'), 0, "93 Record buffer overflow", 0},
      {"", 24, "70 Windows error: 24", 1},
      {"\n", 0, "40 No reply from terminal", 1}};
  for (const auto &[input, mask, state, emptyReads] : collections) {
    if (!input.empty()) peer.SendAt(vp.Now(), input);
    if (mask != 0) vp.QueueClearErrorMask(mask);
    vp.Advance(1000);
    vp.ClearLog();
    EXPECT_EQ(Collect(), state);
    EXPECT_EQ(vp.LogOf(Call::ComClearError).size(), emptyReads) << state;
  }
}

// A reset command waits the whole setting (others half of it; the tick count's steps may end it
// 1 ms short); a line is followed by a 10 ms pause, except an addressed network line.
TEST_F(SerialExchange, WaitsFollowTheSettingAndPauseAfterALine) {
  Select(DEV_SERIAL_DIRECT, 0);
  ASSERT_EQ(Set232TimeOut(20), 0);
  Micros start = vp.Now();
  Send("A%%B");
  EXPECT_TRUE(Within((vp.Now() - start) / 1000, 19999, 20010));
  ASSERT_EQ(ExitCOMM(), 0);
  Select(DEV_SERIAL_NETWORK, 5);
  peer.replyDelay = 1000;
  peer.Reply("005OK\r");
  start = vp.Now();
  EXPECT_EQ(Send("T"), "0 OK");
  EXPECT_TRUE(Within(vp.Now() - start, 1000, 3500));
}

// Bytes during the pause after a line do not shorten it; a hang-up fails a wait at once.
TEST_F(SerialExchange, LineErrorsAndWaitsThatEndWithTheReplyOrTheHangUp) {
  Select(DEV_SERIAL_DIRECT, 0);
  vp.QueueClearErrorMask(24);
  peer.replyDelay = 2500000;  // the line completes only after the pause
  peer.Reply("OK\r");
  Micros start = vp.Now();
  EXPECT_EQ(Send("TIME"), "0 OK");
  EXPECT_GE(vp.Now() - start, 2000000u);
  EXPECT_EQ(ErrorState(), "70 Windows error: 24") << "the ride-out leaves its code";
  vp.QueueClearErrorMask(8);
  EXPECT_EQ(Send("TIME"), "70 Windows error: 8");
  vp.FailWriteFile(true);
  vp.QueueClearErrorMask(4);
  EXPECT_EQ(Send("TIME"), "70 Windows error: 4");
  vp.FailWriteFile(false);
  peer.replyDelay = 700;
  peer.Reply("OK\r");
  start = vp.Now();
  peer.SendAt(start + 3000, "X");
  EXPECT_EQ(Send("T"), "0 OK");
  EXPECT_TRUE(Within(vp.Now() - start, 10700, 10800));
  start = vp.Now();
  vp.HangUpAt(start + 300000);
  EXPECT_EQ(Send("T"), "70 Windows error: 1024");
  EXPECT_TRUE(Within(vp.Now() - start, 300000, 300100));
  // Later calls fail as soon as they look, and writes are refused the same way.
  char text[VELDC_REPLY_SIZE];
  start = vp.Now();
  EXPECT_EQ(Outcome(GetMsgEx(text)), "-1 70 Windows error: 1024");
  EXPECT_LT(vp.Now() - start, 100u);
  EXPECT_EQ(Send("T"), "70 Windows error: 1024");
  EXPECT_EQ(Collect(), "70 Windows error: 1024");
}

// Selection gives up after ten polls; a discarding poll before each send; refused sends are
// tried three times.
TEST_F(Kov74Test, ExchangesThroughTheDriver) {
  Open();
  EXPECT_EQ(Outcome(SetTerminal(5)), "-1 47 Cannot talk with terminal");
  EXPECT_EQ(driver.polls.size(), 10u);
  EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL);
  EXPECT_EQ(Outcome(SetTerminal(0)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(ChgTerminal(0)), "-1 3 Wrong parameters");
  const size_t before = vp.Log().size();
  EXPECT_EQ(ChgTerminal(5), 0);
  EXPECT_EQ(vp.Log().size(), before) << "no traffic";
  driver.polls.clear();
  bySelectedTerminal = 9;
  driver.responder = [](int address, const std::string &sent) {
    return ScriptKov74::Messages{{address == 9 ? 9 : 10, "ECHO " + sent}};
  };
  EXPECT_EQ(Send("TIME"), "0 ECHO TIME");
  EXPECT_EQ(driver.sent, (ScriptKov74::Messages{{9, "TIME"}}));
  EXPECT_EQ(driver.polls.front(), 9) << "a discarding poll comes before the send";
  bySelectedTerminal = 4;
  EXPECT_EQ(Send("TIME"), "41 Reply from wrong terminal");
  driver.sendResults = {1, 1, 1};
  driver.sent.clear();
  driver.polls.clear();
  EXPECT_EQ(Send("TIME"), "42 Cannot send a message");
  EXPECT_EQ(driver.sent.size(), 3u);
  EXPECT_EQ(driver.polls.size(), 3u) << "one discarding poll before each send";
  EXPECT_EQ(Send(std::string(121, 'x').c_str()), "3 Wrong parameters");
  EXPECT_EQ(driver.sent.size(), 3u);
  driver.responder = nullptr;
  ASSERT_EQ(Set232TimeOut(4), 0);  // seconds here
  Micros start = vp.Now();
  EXPECT_EQ(Send(std::string(120, 'x').c_str()), "40 No reply from terminal");
  EXPECT_EQ(driver.sent.size(), 4u);
  EXPECT_TRUE(Within(vp.Now() - start, 3999000, 4010000));
  start = vp.Now();
  char message[VELDC_REPLY_SIZE];
  EXPECT_EQ(Outcome(GetMsgEx(message)), "-1 40 No reply from terminal");
  EXPECT_TRUE(Within(vp.Now() - start, 999000, 1010000));
  bySelectedTerminal = 3;
  driver.sendResults = {1};
  EXPECT_EQ(Outcome(PostCommand("TIME")), "-1 42 Cannot send a message");
  EXPECT_EQ(driver.sent.size(), 5u);
  EXPECT_EQ(Outcome(PostCommand(std::string(121, 'k').c_str())), "-1 3 Wrong parameters");
  EXPECT_EQ(Collect(), "40 No reply from terminal");
  driver.waiting.push_back({4, "OK"});
  EXPECT_EQ(Collect(), "41 Reply from wrong terminal");
  driver.waiting.push_back({3, "OK"});
  EXPECT_EQ(Collect(), "0 OK");
}

class Selection : public SerialTest {
 protected:
  void Terminal(std::function<std::string(const std::string &)> terminal) {
    peer.SetResponder([terminal](const std::string &line) {
      const std::string reply = terminal(line);
      return reply.empty() ? reply : reply + "\r";
    });
  }
  size_t Count(size_t from, const std::string &prefix) const {
    return std::count_if(Heard().begin() + from, Heard().end(),
                         [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
  }
};

// XON, 2 s, the input purged, ">PS", 100 ms; only SetTerminal goes on to identify.
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
    EXPECT_TRUE(Within(writes[1].first - writes[0].first, 2000000, 2000100));
    const auto purges = vp.LogOf(Call::ComPurge);
    ASSERT_GE(purges.size(), 1u);
    EXPECT_EQ(purges[0].a, static_cast<int64_t>(platform::kPurgeRxClear));
    EXPECT_TRUE(Within(purges[0].at, writes[0].first + 2000000u, writes[1].first + 1));
    EXPECT_EQ(writes.back().second, identifies ? "012%XI\r" : ">PS012\r");
    const Micros next = identifies ? writes[2].first : vp.Now();
    EXPECT_TRUE(Within(next - writes[1].first, 100000, 100100));
    EXPECT_EQ(bySelectedTerminal, 12);
  }
  EXPECT_EQ(protocol::bSorvikModel, 0);
}

// A Sorvik terminal's year 1999 is set to 2000 only when the PC's clock says 2000.
TEST_F(Selection, DirectLineProbesTheEchoAndIdentifies) {
  for (const int echoes : {0, 1}) {
    vp.SetUtcYear(echoes ? 2000 : 2026);
    Open(DEV_SERIAL_DIRECT);
    const size_t heard = Heard().size();
    peer.SetResponder([echoes](const std::string &line) {
      std::string answer = line == "%XI" ? "Sorvik 1 P" : line == "QRX" ? "?" : "OK";
      if (line.rfind("DATE", 0) == 0) answer = line == "DATE" ? "DATE 3991231" : line;
      return (echoes ? line + "\r" : "") + answer + "\r";
    });
    ASSERT_EQ(SetTerminal(0), 0) << ErrorState();
    EXPECT_EQ(protocol::bLineEcho, echoes);
    ASSERT_GE(Heard().size(), heard + 3);
    EXPECT_EQ(Lines(Heard().begin() + heard, Heard().begin() + heard + 3),
              (Lines{"QRX", "", "%XI"}));
    EXPECT_EQ(Count(heard, "DATE 3001231"), static_cast<size_t>(echoes));
    EXPECT_EQ(Count(heard, "DATE"), echoes * 2u);
    EXPECT_EQ(Send("HELLO"), "0 OK") << "an echo is read and dropped before the reply";
    ASSERT_EQ(ExitCOMM(), 0);
  }
  EXPECT_EQ(protocol::bSorvikModel, 1);
}

// A locked terminal is opened with the password (parameter 89 when the host set none).
TEST_F(Selection, UnknownModelIsResetAndAskedAgainAndPasswordRescue) {
  // The replies to "%%" and to the second "%XI", and the outcome.
  const std::tuple<const char *, const char *, const char *> cases[] = {
      {"RESET !!!", "Qyr 9 F", "0 0 None"},
      {"", "Veld", "-1 43 Reset command ignored"},
      {"done", "Veld", "-1 44 Reset not performed"},
      {"!!!", "", "-1 46 No reply to ID request"},
      {"!!!", "vELD", "-1 66 Bad reply to ID request"}};
  for (const auto &[reset, second, outcome] : cases) {
    Open(DEV_SERIAL_DIRECT);
    int ids = 0;
    Terminal([&ids, reset = reset, second = second](const std::string &line) -> std::string {
      if (line == "%XI") return ++ids == 1 ? "nobody" : second;
      if (line == "%%") return reset;
      if (line == "\x04") return "\x04*";
      return line == "QRX" ? "?" : "OK";
    });
    EXPECT_EQ(Outcome(SetTerminal(0)), outcome);
    EXPECT_EQ(bySelectedTerminal, outcome[0] == '0' ? 0 : device::NO_TERMINAL) << outcome;
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
    ASSERT_EQ(ExitCOMM(), 0);
  }
}

TEST_F(Selection, LogonLine) {
  // The address, the reply to every "LOGOFF" ("" = silence), the replies to successive
  // "LOGON nnn", the outcome, the terminal selected after and the "LOGON nnn" lines sent.
  const std::tuple<int, const char *, Lines, const char *, int, size_t> cases[] = {
      {7, "LOGOFF ??", {"LOGON 007"}, "0 0 None", 7, 1},
      {7, "LOGOFF", {"LOGON 999", "LOGON 007"}, "0 0 None", 7, 2},
      {3, "LOGOFF", {"LOGON 999", "NO"}, "-1 81 Bad reply to LOGON", 3, 2},
      {3, "BYE", {}, "-1 80 Bad reply to LOGOFF", 3, 0},
      // A silent LOGOFF is retried once the terminal has identified itself.
      {5, "", {}, "-1 40 No reply from terminal", device::NO_TERMINAL, 0},
  };
  for (const auto &[address, logoff, logon, outcome, selected, logons] : cases) {
    SCOPED_TRACE(std::to_string(address) + " " + logoff);
    Open(DEV_SERIAL_LOGON);
    const size_t heard = Heard().size();
    size_t n = 0;
    Terminal([&, logoff = logoff, &logon = logon](const std::string &line) -> std::string {
      if (line == "LOGOFF") return logoff;
      if (line.rfind("LOGON", 0) == 0) return n < logon.size() ? logon[n++] : "";
      return line == "%XI" ? "Veld" : "";
    });
    EXPECT_EQ(Outcome(SetTerminal(address)), outcome);
    EXPECT_EQ(bySelectedTerminal, selected);
    EXPECT_EQ(Count(heard, "LOGON"), logons);
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

// A Hayes modem: echoes command lines, answers OK, connects on ATD; empty texts: the usual.
struct ModemScript {
  std::string setupEcho;                            // echo to the set-up command
  std::string dialAnswer = "\r\nCONNECT 9600\r\n";  // comes when the carrier does
  std::string initReply = "", dialEcho = "";        // to the init string, to ATD
  bool silent = false;
};

class Modem : public SerialTest {
 protected:
  void SetUp() override {
    SerialTest::SetUp();
    Open(DEV_SERIAL_DIRECT);
  }
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
  void OnHangUp(std::string escape, std::string hangUp) {
    peer.SetResponder([escape, hangUp](const std::string &line) {
      return line == "+++" ? escape : line == "ATH0" ? hangUp : std::string();
    });
  }
  size_t TxPurges() const {
    const auto purges = vp.LogOf(Call::ComPurge);
    return std::count_if(purges.begin(), purges.end(),
                         [](const auto &e) { return e.a == platform::kPurgeTxClear; });
  }
};

TEST_F(Modem, DialsAndConnectsAfterItsChecks) {
  const std::string n32(32, '1'), n33(33, '1');
  const std::tuple<const char *, const char *, int> refused[] = {
      {nullptr, n33.c_str(), 30}, {nullptr, "", 30},      {n33.c_str(), "1", 30},
      {nullptr, "1", 121},        {nullptr, nullptr, 30}, {nullptr, "1", -1}};
  for (const auto &[init, number, timeout] : refused) {
    EXPECT_EQ(Outcome(DialNumber(init, number, timeout)), "-1 3 Wrong parameters");
  }
  EXPECT_EQ(Written(), "");
  Script({});
  ASSERT_EQ(DialNumber("AT&F", "0123456", 45), 0) << ErrorState();
  EXPECT_EQ(Heard(), (Lines{"", "ATE1Q0S7=45", "ATE1Q0S7=45", "AT&F", "ATD0123456"}));
  EXPECT_EQ(protocol::bAddressedReplies, 1);
  EXPECT_STREQ(protocol::szReplyText, "CONNECT 9600");
  // A lone CR, the set-up command after 750 ms (twice), then 750 ms after each command's reply.
  const auto writes = vp.Writes();
  ASSERT_GE(writes.size(), 8u);
  EXPECT_TRUE(Within(writes[1].first - writes[0].first, 750000, 750100));
  EXPECT_TRUE(Within(writes[5].first - writes[3].first, 750000, 800000)) << writes[5].second;
  EXPECT_TRUE(Within(writes[7].first - writes[5].first, 750000, 800000)) << writes[7].second;
  EXPECT_EQ(DialNumber(n32.c_str(), n32.c_str(), 120), 0) << ErrorState();
  EXPECT_EQ(Heard()[6], "ATE1Q0S7=120");
  ASSERT_EQ(ExitCOMM(), 0);
  for (int kind : {DEV_PELO, DEV_KOV74_MODE2}) {
    ASSERT_GE(InitCOMM(1, kind, 0, 0), 0);
    const size_t calls = vp.Log().size();
    EXPECT_EQ(Outcome(DialNumber(nullptr, "1", 1)), "-1 5 Wrong communication device");
    EXPECT_EQ(Outcome(HangUp()), "-1 5 Wrong communication device");
    EXPECT_EQ(vp.Log().size(), calls) << kind;
    ASSERT_EQ(ExitCOMM(), 0);
  }
  EXPECT_EQ(Outcome(HangUp()), "-1 2 Device not initialized");
}

// 1 s, two escapes of 0.75 s + 2 x 2.5 s, 0.75 s, "ATH0" with its echo and two lines, 0.75 s.
TEST_F(Modem, WrongAnswersAndAHangUpEvenWhenTheEscapeIsNotAnswered) {
  const std::tuple<ModemScript, const char *, const char *> cases[] = {
      {{"ATE1Q0S7=4X"}, nullptr, "85 Not able to initialize modem"},
      {{"", "\r\nNO CARRIER\r\n"}, nullptr, "83 Bad reply to dial command"},
      {{"", ""}, nullptr, "83 Bad reply to dial command"},
      {{"", "", "ATZ!\r"}, "ATZ", "86 Bad modem initialization reply"},
      {{"", "", "", "ATDX"}, nullptr, "82 Bad echo to dial command"},
      {{"", "", "", "", true}, nullptr, "87 Bad modem echo"}};
  for (const auto &[script, init, state] : cases) {
    Script(script);
    EXPECT_EQ(DialNumber(init, "555", 4), -1);
    EXPECT_EQ(ErrorState(), state);
    EXPECT_EQ(protocol::bAddressedReplies, 1) << state;
  }
  const std::tuple<std::string, const char *, const char *, size_t> hangUps[] = {
      {"ATH0\r\r\nOK\r\n", "0 0 None", "++++++ATH0\r", 1},
      {"ATH0\r\r\nERROR\r\n", "-1 84 Not able to hangup", "++++++ATH0\rATH0\r", 1},
      {"", "-1 87 Bad modem echo", "++++++ATH0\r", 0}};
  for (const auto &[hangUp, outcome, written, purges] : hangUps) {
    OnHangUp("", hangUp);
    vp.ClearWritten();
    vp.ClearLog();
    const Micros start = vp.Now();
    EXPECT_EQ(Outcome(HangUp()), outcome);
    EXPECT_EQ(Written(), written);
    EXPECT_EQ(TxPurges(), purges) << outcome;
    EXPECT_EQ(protocol::bAddressedReplies, 1);
    // A silent modem is given 0.5 s for the echo instead of the closing 0.75 s.
    const Micros took =
        1000000u + 2 * (750000u + 5000000u) + 750000u + (purges ? 750000u : 500000u);
    EXPECT_TRUE(Within(vp.Now() - start, took, took + 100000u)) << outcome;
  }
  ASSERT_EQ(ExitCOMM(), 0);
  Open(DEV_SERIAL_NETWORK);
  OnHangUp("\r\nOK\r\n", "ATH0\r\r\nOK\r\n");
  ASSERT_EQ(HangUp(), 0) << ErrorState();
  EXPECT_EQ(Written().rfind(">P0\r+++", 0), 0u);
}

}  // namespace
}  // namespace veldc::test
