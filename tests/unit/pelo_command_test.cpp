// Commands to the Pelo adapter itself (PeloCommand): the ordinary and the reset exchange.
#include <cstring>
#include <string>
#include <vector>

#include "core/errors.h"
#include "device/device.h"
#include "pelo_fixture.h"

namespace veldc::test {
namespace {

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
  void OnCommand(Script answers) { OnEach(PELO_PKT_COMMAND, std::move(answers)); }
  // The reply carries a number of its own: any number will do.
  void AnswerCommand(const std::string &text) {
    OnCommand({{2000, Reply(PELO_PKT_COMMAND, 500, text)}});
  }
  std::string Untouched() const { return std::string(sizeof reply - 1, '#'); }

  char reply[VELDC_REPLY_SIZE];
};

TEST_F(PeloCommandTest, RefusedBeforeAnyTraffic) {
  const uint16_t seq = PeloLink.wSeqCounter;
  EXPECT_EQ(Outcome(PeloCommand(nullptr, reply)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(PeloCommand("X", nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(PeloCommand(std::string(128, 'q').c_str(), reply)), "-1 3 Wrong parameters");
  EXPECT_TRUE(vp.Log().empty());
  EXPECT_EQ(PeloLink.wSeqCounter, seq);
  // Only the Pelo kind is accepted, and the device is checked first.
  ASSERT_EQ(ExitCOMM(), 0);
  EXPECT_EQ(Outcome(PeloCommand("X", reply)), "-1 2 Device not initialized");
  EXPECT_EQ(Outcome(PeloCommand(nullptr, nullptr)), "-1 2 Device not initialized");
  ASSERT_GE(InitCOMM(1, DEV_SERIAL_LOGON, 9600, 0), 0);
  EXPECT_EQ(Outcome(PeloCommand("X", reply)), "-1 2 Device not initialized");
  // Before any socket the clean-out read fails, and the number is spent.
  ASSERT_EQ(ExitCOMM(), 0);
  ASSERT_EQ(InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort);
  EXPECT_EQ(Outcome(PeloCommand("X", reply)), "-1 78 Error receving message: 10038");
  EXPECT_EQ(PeloLink.wSeqCounter, seq + 1);
}

// Replies (the status reply trimmed at its CR), and what else ends the wait.
TEST_F(PeloCommandTest, RepliesAndWhatEndsTheWait) {
  const std::string longest(127, 'q');
  const auto says = [](const char *text) {
    return Script{{2000, Reply(PELO_PKT_COMMAND, 500, text)}};
  };
  const Answer ack1 = Reply(PELO_PKT_ACK, 1), error = Reply(PELO_PKT_ERROR), empty = Fixed("");
  const Answer init = Fixed(Datagram(PELO_PKT_INIT, 300)), odd = Fixed(Datagram(7, 1, "odd"));
  const Answer done = Reply(PELO_PKT_COMMAND, 0, "done");
  const Answer data = Fixed(Datagram(PELO_PKT_DATA, 17, "\x05TIME 120000"));
  const Answer oversized = Reply(PELO_PKT_COMMAND, 0, std::string(196, 'o'));
  struct Case {
    const char *command, *outcome, *reply;  // reply null: the buffer is left untouched
    std::vector<std::string> acks;          // sent after the command
    Fault fault;
    Script answers;
  } const cases[] = {
      {"X", "0 0 None", "V2.1 C3", {}, {}, says("V2.1 C3\r")},
      {"X", "0 0 None", "", {}, {}, says("")},
      {"X", "0 0 None", "", {}, {}, says("V")},
      {"XX", "0 0 None", "V2.1\r", {}, {}, says("V2.1\r")},
      {"S", "0 0 None", "status\r", {}, {}, says("status\r")},
      {"x", "0 0 None", "lower\r", {}, {}, says("lower\r")},
      {longest.c_str(), "0 0 None", "ok", {}, {}, says("ok")},
      {"", "0 0 None", "ok", {}, {}, says("ok")},
      // An acknowledgement of our number ends it; one of another number does not.
      {"Q", "0 0 None", nullptr, {}, {}, {{1000, ack1}, {2000, AckIt()}}},
      // An init is acknowledged and the wait goes on; unknown types are dropped.
      {"Q", "0 0 None", "done", {Ack(300)}, {}, {{1000, init}, {2000, odd}, {30000, done}}},
      // Terminal data is acknowledged and ends it without a code.
      {"Q", "-1 0 None", nullptr, {Ack(17)}, {}, {{1000, data}}},
      {"Q", "-1 96 Error packet received", nullptr, {}, {}, {{1000, error}}},
      // An empty datagram is a runt, not the end: the reply behind it is taken.
      {"Q", "0 0 None", "done", {}, {}, {{1000, empty}, {2000, done}}},
      {"Q", "-1 78 Error receving message: 10040", nullptr, {}, {}, {{1000, oversized}}},
      {"Q", "-1 78 Error receving message: 10054", nullptr, {}, {Call::WsRecv, 3, 10054}, {}},
      {"Q", "-1 77 Error sending message: 10055", nullptr, {}, {Call::WsSend, 1, 10055}, {}},
      {"Q", "-1 78 Error receving message: 10050", nullptr, {}, {Call::WsRecv, 1, 10050}, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.command).substr(0, 9) + " " + c.outcome);
    vp.ClearLog();
    std::memset(reply, '#', sizeof reply - 1);
    OnCommand(c.answers);
    c.fault.Arm(vp);
    const auto seq = static_cast<uint16_t>(PeloLink.wSeqCounter + 1);
    EXPECT_EQ(Outcome(PeloCommand(c.command, reply)), c.outcome);
    EXPECT_EQ(std::string(reply), c.reply ? c.reply : Untouched());
    EXPECT_EQ(PeloLink.wSeqCounter, seq);
    // Header, text and its zero: 132 bytes for the longest command, 5 for the empty one.
    std::vector<std::string> sent{Datagram(PELO_PKT_COMMAND, seq, c.command)};
    EXPECT_EQ(sent[0].size(), std::strlen(c.command) + 5);
    if (c.fault.call == Call::WsRecv && c.fault.nth == 1) sent.clear();  // failed clean-out
    sent.insert(sent.end(), c.acks.begin(), c.acks.end());
    EXPECT_EQ(Sent(), sent);
    // An acknowledgement is followed by a 4 ms pause before anything else.
    if (!c.acks.empty()) {
      EXPECT_GE(vp.Now() - SendTimes().back(), 4000u);
    }
  }
}

TEST_F(PeloCommandTest, ThreeAttemptsWithOneNumberThenTimeOut) {
  // An acknowledgement of another number is no answer.
  OnCommand({{1000, Reply(PELO_PKT_ACK, 7)}});
  const Micros start = vp.Now();
  EXPECT_EQ(Outcome(PeloCommand("Q", reply)), "-1 79 WinSocket timeout expired");
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent, std::vector<std::string>(3, sent[0]));
  const auto times = SendTimes();
  // Time-outs count whole milliseconds of the tick count.
  EXPECT_GE(times[1] - times[0], 999000u);
  EXPECT_LT(times[1] - times[0], 1001000u);
  EXPECT_GE(vp.Now() - start, 2999000u);
  EXPECT_LT(vp.Now() - start, 3005000u);
}

TEST_F(PeloCommandTest, AddressAndFormCommandsChooseWhatTheNextResetUses) {
  const uint32_t connected = PeloLink.dwConnectedPeloAddr;
  struct {
    const char *command;
    uint32_t selected;
    int32_t savedForm;
  } const cases[] = {{"A192.168.0.11", kAddress11, PELO_FORM_NETWORK},
                     {"a192.168.0.12", kAddress11, PELO_FORM_NETWORK},
                     {"Anonsense", 0xFFFFFFFFu, PELO_FORM_NETWORK},
                     {"A192.168.0.11", kAddress11, PELO_FORM_NETWORK},
                     {"C1", kAddress11, PELO_FORM_SINGLE},
                     {"c3", kAddress11, PELO_FORM_SINGLE},
                     {"XC3", kAddress11, PELO_FORM_NETWORK},
                     {"C", kAddress11, PELO_FORM_SINGLE}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.command);
    AnswerCommand("fine");
    ASSERT_EQ(PeloCommand(c.command, reply), 0) << ErrorState();
    EXPECT_EQ(PeloLink.dwSelectedPeloAddr, c.selected);
    EXPECT_EQ(PeloLink.nSavedLinkForm, c.savedForm);
    EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK) << "current form kept";
    EXPECT_EQ(PeloLink.dwConnectedPeloAddr, connected) << "socket untouched";
  }
  EXPECT_TRUE(vp.LogOf(Call::WsConnect).empty());

  // An acknowledgement instead of a reply chooses nothing.
  OnCommand({{1000, AckIt()}});
  ASSERT_EQ(PeloCommand("A10.0.0.1", reply), 0);
  EXPECT_EQ(PeloLink.dwSelectedPeloAddr, kAddress11);

  // The reset moves to what was chosen, right after sending to the old address.
  OnCommand({{3000, Fixed(Datagram(PELO_PKT_INIT, 1))}});
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
  OnCommand({{1000, Fixed(Datagram(PELO_PKT_DATA, 50, "\x01x"))},
             {2000, Reply(PELO_PKT_ACK, 1)},
             {3000, Fixed(Datagram(PELO_PKT_COMMAND, 0, "cmd"))},
             {4000, AckIt()}});
  ASSERT_EQ(PeloCommand("%", reply), 0) << ErrorState();
  EXPECT_EQ(std::string(reply), Untouched());
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[1], Ack(50)) << "data is acknowledged and the wait goes on";

  OnCommand({{1000, Fixed(Datagram(PELO_PKT_INIT, 51))}});
  vp.Fail(Call::WsSend, 2, 10065);  // the acknowledgement of the init is lost
  EXPECT_EQ(Outcome(PeloCommand("%", reply)), "0 0 None");
  EXPECT_STREQ(reply, "UDP_INIT");
}

TEST_F(PeloCommandTest, ResetWaitsAtLeastFourSeconds) {
  const std::pair<uint32_t, Micros> cases[] = {{1000, 4000000}, {4001, 4001000}, {9000, 9000000}};
  for (const auto &[timeout, wait] : cases) {
    DeviceState.nWinSockTimeOut = timeout;
    vp.ClearLog();
    EXPECT_EQ(Outcome(PeloCommand("%", reply)), "-1 79 WinSocket timeout expired");
    ASSERT_EQ(Sent().size(), 1u) << "sent once";
    const Micros waited = vp.Now() - SendTimes()[0];
    EXPECT_GE(waited, wait - 1000) << timeout;
    EXPECT_LT(waited, wait + 2000) << timeout;
  }
}

TEST_F(PeloCommandTest, ResetFailures) {
  OnCommand({{1000, Reply(PELO_PKT_ERROR)}});
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

}  // namespace
}  // namespace veldc::test
