// Commands to the Pelo adapter itself (PeloCommand): the ordinary and the reset exchange.
#include <cstring>
#include <string>
#include <vector>

#include "core/errors.h"
#include "device/device.h"
#include "pelo_fixture.h"

namespace veldc::test {
namespace {

using namespace veldc::pelo;
using device::DeviceState;

constexpr uint32_t kAddress11 = 0x0B00A8C0;  // 192.168.0.11 in network order

class PeloCommandTest : public PeloTest {
 public:
  void SetUp() override {
    PeloTest::SetUp();
    Connect();
    DeviceState.nWinSockTimeOut = 1000;
    std::memset(reply, '#', sizeof reply);
    reply[sizeof reply - 1] = '\0';
  }
  void Answer(std::vector<std::pair<Micros, PeloTest::Answer>> answers) {
    OnEach(PELO_PKT_COMMAND, std::move(answers));
  }
  // The reply carries a number of its own: any number will do.
  void AnswerCommand(const std::string &text) {
    Answer({{2000, [text](uint16_t seq) {
               return Datagram(PELO_PKT_COMMAND, static_cast<uint16_t>(seq + 500), text);
             }}});
  }
  std::string Untouched() const { return std::string(sizeof reply - 1, '#'); }

  char reply[VELDC_REPLY_SIZE];
};

TEST_F(PeloCommandTest, ArgumentsAreCheckedBeforeAnyTraffic) {
  const std::string longest(127, 'q');
  const std::string tooLong(128, 'q');
  uint16_t seq = PeloLink.wSeqCounter;
  EXPECT_EQ(Outcome(PeloCommand(nullptr, reply)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(PeloCommand("X", nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(PeloCommand(tooLong.c_str(), reply)), "-1 3 Wrong parameters");
  EXPECT_TRUE(vp.Log().empty());
  EXPECT_EQ(PeloLink.wSeqCounter, seq);

  // Header, text and its zero: 132 bytes for the longest command, 5 for the empty one.
  for (const std::string &command : {longest, std::string()}) {
    vp.ClearLog();
    AnswerCommand("ok");
    EXPECT_EQ(PeloCommand(command.c_str(), reply), 0) << ErrorState();
    ASSERT_EQ(Sent(), std::vector<std::string>{Datagram(PELO_PKT_COMMAND, ++seq, command)});
    EXPECT_EQ(Sent()[0].size(), command.size() + 5);
  }
}

TEST_F(PeloCommandTest, OnlyThePeloKindIsAccepted) {
  ASSERT_EQ(ExitCOMM(), 0);
  EXPECT_EQ(Outcome(PeloCommand("X", reply)), "-1 2 Device not initialized");
  EXPECT_EQ(Outcome(PeloCommand(nullptr, nullptr)), "-1 2 Device not initialized")
      << "the device is checked first";
  ASSERT_GE(InitCOMM(1, DEV_SERIAL_LOGON, 9600, 0), 0);
  EXPECT_EQ(Outcome(PeloCommand("X", reply)), "-1 2 Device not initialized");
}

TEST_F(PeloCommandTest, RepliesAndTheStatusTrim) {
  struct Case {
    const char *command;
    const char *answer;
    const char *reply;
  } cases[] = {
      {"X", "V2.1 C3\r", "V2.1 C3"},
      {"X", "", ""},
      {"X", "V", ""},
      {"XX", "V2.1\r", "V2.1\r"},
      {"S", "status\r", "status\r"},
      {"x", "lower\r", "lower\r"},
  };
  for (const auto &c : cases) {
    AnswerCommand(c.answer);
    EXPECT_EQ(PeloCommand(c.command, reply), 0) << c.command << " " << ErrorState();
    EXPECT_STREQ(reply, c.reply) << c.command;
    EXPECT_EQ(ErrorState(), "0 None");
  }
}

TEST_F(PeloCommandTest, AcknowledgementOfOurNumberEndsItWithTheBufferUntouched) {
  Answer({{1000, [](uint16_t seq) { return Ack(static_cast<uint16_t>(seq + 1)); }},
          {2000, [](uint16_t seq) { return Ack(seq); }}});
  EXPECT_EQ(PeloCommand("Q", reply), 0) << ErrorState();
  EXPECT_EQ(std::string(reply), Untouched());
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(PeloCommandTest, InitPacketIsAcknowledgedAndTheWaitGoesOn) {
  Answer({{1000, [](uint16_t) { return Datagram(PELO_PKT_INIT, 300); }},
          {2000, [](uint16_t) { return Datagram(7, 1, "odd"); }},
          {30000, [](uint16_t seq) { return Datagram(PELO_PKT_COMMAND, seq, "done"); }}});
  EXPECT_EQ(PeloCommand("Q", reply), 0) << ErrorState();
  EXPECT_STREQ(reply, "done");
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[1], Ack(300));
}

TEST_F(PeloCommandTest, TerminalDataEndsItWithoutACode) {
  Answer({{1000, [](uint16_t) { return Datagram(PELO_PKT_DATA, 17, "\x05TIME 120000"); }}});
  EXPECT_EQ(Outcome(PeloCommand("Q", reply)), "-1 0 None");
  EXPECT_EQ(std::string(reply), Untouched());
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[1], Ack(17));
  // Acknowledged between two 4 ms pauses, and the call returns after the second.
  EXPECT_GE(vp.Now() - SendTimes()[1], 4000u);
}

TEST_F(PeloCommandTest, FailuresWhileWaiting) {
  const PeloTest::Answer oversized = [](uint16_t s) {
    return Datagram(PELO_PKT_COMMAND, s, std::string(196, 'o'));
  };
  const PeloTest::Answer error = [](uint16_t s) { return Datagram(PELO_PKT_ERROR, s); };
  struct Case {
    const char *state;
    Call fail;  // on its `nth` call, when `nth` is not 0
    int nth, error;
    std::vector<std::pair<Micros, PeloTest::Answer>> answers;
  } cases[] = {
      {"96 Error packet received", {}, 0, 0, {{1000, error}}},
      {"97 WinSocket connection closed", {}, 0, 0, {{1000, Fixed("")}}},
      {"78 Error receving message: 10040", {}, 0, 0, {{1000, oversized}}},
      {"78 Error receving message: 10054", Call::WsRecv, 3, 10054, {}},
      {"77 Error sending message: 10055", Call::WsSend, 1, 10055, {}},
      {"78 Error receving message: 10050", Call::WsRecv, 1, 10050, {}},
  };
  for (const auto &c : cases) {
    Answer(c.answers);
    if (c.nth != 0) vp.Fail(c.fail, c.nth, c.error);
    const uint16_t seq = PeloLink.wSeqCounter;
    EXPECT_EQ(Outcome(PeloCommand("Q", reply)), std::string("-1 ") + c.state);
    EXPECT_EQ(std::string(reply), Untouched()) << c.state;
    EXPECT_EQ(PeloLink.wSeqCounter, static_cast<uint16_t>(seq + 1)) << c.state;
  }
}

TEST_F(PeloCommandTest, ThreeAttemptsWithOneNumberThenTimeOut) {
  // An acknowledgement of another number is no answer.
  Answer({{1000, [](uint16_t seq) { return Ack(static_cast<uint16_t>(seq + 7)); }}});
  const Micros start = vp.Now();
  EXPECT_EQ(Outcome(PeloCommand("Q", reply)), "-1 79 WinSocket timeout expired");
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], sent[1]);
  EXPECT_EQ(sent[1], sent[2]);
  const auto times = SendTimes();
  // Time-outs count whole milliseconds of the tick count.
  EXPECT_GE(times[1] - times[0], 999000u);
  EXPECT_LT(times[1] - times[0], 1001000u);
  EXPECT_GE(vp.Now() - start, 2999000u);
  EXPECT_LT(vp.Now() - start, 3005000u);
}

TEST_F(PeloCommandTest, AddressAndFormCommandsChooseWhatTheNextResetUses) {
  const uint32_t connected = PeloLink.dwConnectedPeloAddr;
  struct Case {
    const char *command;
    uint32_t selected;
    int32_t savedForm;
  } cases[] = {
      {"A192.168.0.11", kAddress11, PELO_FORM_NETWORK},
      {"a192.168.0.12", kAddress11, PELO_FORM_NETWORK},
      {"Anonsense", 0xFFFFFFFFu, PELO_FORM_NETWORK},
      {"A192.168.0.11", kAddress11, PELO_FORM_NETWORK},
      {"C1", kAddress11, PELO_FORM_SINGLE},
      {"c3", kAddress11, PELO_FORM_SINGLE},
      {"XC3", kAddress11, PELO_FORM_NETWORK},
      {"C", kAddress11, PELO_FORM_SINGLE},
  };
  for (const auto &c : cases) {
    AnswerCommand("fine");
    ASSERT_EQ(PeloCommand(c.command, reply), 0) << c.command << " " << ErrorState();
    EXPECT_EQ(PeloLink.dwSelectedPeloAddr, c.selected) << c.command;
    EXPECT_EQ(PeloLink.nSavedLinkForm, c.savedForm) << c.command;
    EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK) << c.command << ": current form kept";
    EXPECT_EQ(PeloLink.dwConnectedPeloAddr, connected) << c.command << ": socket untouched";
  }
  EXPECT_TRUE(vp.LogOf(Call::WsConnect).empty());

  // An acknowledgement instead of a reply chooses nothing.
  Answer({{1000, [](uint16_t seq) { return Ack(seq); }}});
  ASSERT_EQ(PeloCommand("A10.0.0.1", reply), 0);
  EXPECT_EQ(PeloLink.dwSelectedPeloAddr, kAddress11);

  // The reset moves to what was chosen, right after sending to the old address.
  Answer({{3000, [](uint16_t) { return Datagram(PELO_PKT_INIT, 1); }}});
  ASSERT_EQ(PeloCommand("%", reply), 0) << ErrorState();
  EXPECT_STREQ(reply, "UDP_INIT");
  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_SINGLE);
  EXPECT_EQ(PeloLink.dwConnectedPeloAddr, kAddress11);
  const auto sends = vp.LogOf(Call::WsSend);
  const auto connects = vp.LogOf(Call::WsConnect);
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connects[0].a, 0xC0A8000B);
  EXPECT_EQ(vp.ConnectedAddress(), 0xC0A8000Bu);
  EXPECT_EQ(sends[sends.size() - 2].a, 0xC0A8000A) << "the reset went to the old address";
  EXPECT_EQ(Sent().back(), Ack(1));

  // Same address again: no connect.
  vp.ClearLog();
  ASSERT_EQ(PeloCommand("%", reply), 0);
  EXPECT_TRUE(vp.LogOf(Call::WsConnect).empty());
}

TEST_F(PeloCommandTest, ResetEndsOnInitOrOnTheAcknowledgementOfItsNumber) {
  Answer({{1000, [](uint16_t) { return Datagram(PELO_PKT_DATA, 50, "\x01x"); }},
          {2000, [](uint16_t seq) { return Ack(static_cast<uint16_t>(seq + 1)); }},
          {3000, [](uint16_t) { return Datagram(PELO_PKT_COMMAND, 0, "cmd"); }},
          {4000, [](uint16_t seq) { return Ack(seq); }}});
  ASSERT_EQ(PeloCommand("%", reply), 0) << ErrorState();
  EXPECT_EQ(std::string(reply), Untouched());
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[1], Ack(50)) << "data is acknowledged and the wait goes on";

  Answer({{1000, [](uint16_t) { return Datagram(PELO_PKT_INIT, 51); }}});
  vp.Fail(Call::WsSend, 2, 10065);  // the acknowledgement of the init is lost
  ASSERT_EQ(PeloCommand("%", reply), 0) << ErrorState();
  EXPECT_STREQ(reply, "UDP_INIT");
  EXPECT_EQ(ErrorState(), "0 None");
}

TEST_F(PeloCommandTest, ResetWaitsAtLeastFourSeconds) {
  struct Case {
    uint32_t timeout;
    Micros wait;
  } cases[] = {{1000, 4000000}, {4001, 4001000}, {9000, 9000000}};
  for (const auto &c : cases) {
    DeviceState.nWinSockTimeOut = c.timeout;
    vp.ClearLog();
    EXPECT_EQ(Outcome(PeloCommand("%", reply)), "-1 79 WinSocket timeout expired");
    ASSERT_EQ(Sent().size(), 1u) << "sent once";
    const Micros waited = vp.Now() - SendTimes()[0];
    EXPECT_GE(waited, c.wait - 1000) << c.timeout;
    EXPECT_LT(waited, c.wait + 2000) << c.timeout;
  }
}

TEST_F(PeloCommandTest, ResetFailures) {
  Answer({{1000, [](uint16_t seq) { return Datagram(PELO_PKT_ERROR, seq); }}});
  EXPECT_EQ(Outcome(PeloCommand("%", reply)), "-1 96 Error packet received");

  vp.Fail(Call::WsSend, 1, 10065);
  EXPECT_EQ(Outcome(PeloCommand("%", reply)), "-1 77 Error sending message: 10065");

  // A failed reconnection is reported; the form is not switched.
  PeloLink.dwSelectedPeloAddr = kAddress11;
  PeloLink.nSavedLinkForm = PELO_FORM_SINGLE;
  vp.Fail(Call::WsConnect, 1, 10049);
  EXPECT_EQ(Outcome(PeloCommand("%", reply)), "-1 89 Error connecting socket: 10049");
  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK);
}

TEST_F(PeloCommandTest, BeforeAnySocketTheCleanOutFails) {
  ASSERT_EQ(ExitCOMM(), 0);
  ASSERT_EQ(InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort);
  const uint16_t seq = PeloLink.wSeqCounter;
  EXPECT_EQ(Outcome(PeloCommand("X", reply)), "-1 78 Error receving message: 10038");
  EXPECT_EQ(PeloLink.wSeqCounter, seq + 1);
}

}  // namespace
}  // namespace veldc::test
