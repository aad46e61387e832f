// Terminal exchanges over the Pelo: SendCommand, GetMsgEx, PostCommand, GetResponse and the
// selection calls, against a scripted adapter.
#include "core/errors.h"
#include "device/device.h"
#include "pelo_fixture.h"
#include "protocol/exchange.h"
#include "sim/terminal.h"

namespace veldc::test {
namespace {

using device::bySelectedTerminal;
using device::DeviceState;

std::string Network(uint8_t address, const std::string &text) {
  return std::string(1, static_cast<char>(address)) + text;
}

class PeloExchange : public PeloTest {
 public:
  // Opens the link in `form` with terminal `address` selected, without traffic.
  void Select(int32_t form, int address) {
    Connect(form == PELO_FORM_NETWORK ? "V C3\r" : "V C1\r");
    ASSERT_EQ(ChgTerminal(address), 0) << ErrorState();
    DeviceState.nWinSockTimeOut = 1000;
    vp.ClearLog();
  }
  void OnData(Script answers) { OnEach(PELO_PKT_DATA, std::move(answers)); }
  std::vector<std::string> SentData() const {
    std::vector<std::string> out;
    for (const auto &d : Sent()) {
      if (d.size() > 1 && d[0] == PELO_PKT_DATA) out.push_back(d);
    }
    return out;
  }

  char reply[VELDC_REPLY_SIZE] = "";
};

TEST_F(PeloExchange, NetworkFormCarriesTheAddressByteBothWays) {
  Select(PELO_FORM_NETWORK, 200);
  OnData({{1000, AckIt()},
          {2000, Fixed(Datagram(PELO_PKT_DATA, 70, Network(7, "TIME 999999")))},
          {3000, Fixed(Datagram(PELO_PKT_DATA, 71, Network(200, "TIME 120000")))}});
  const uint16_t seq = static_cast<uint16_t>(PeloLink.wSeqCounter + 1);
  ASSERT_EQ(SendCommand("TIME", reply), 0) << ErrorState();
  EXPECT_STREQ(reply, "TIME 120000");
  EXPECT_EQ(Sent(), (std::vector<std::string>{Datagram(PELO_PKT_DATA, seq, Network(200, "TIME")),
                                              Ack(70), Ack(71)}))
      << "the other terminal's datagram is acknowledged and dropped";
  EXPECT_EQ(PeloLink.wLastDataSeq, 71);
}

TEST_F(PeloExchange, SingleFormEndsTheCommandWithACarriageReturn) {
  Select(PELO_FORM_SINGLE, 0);
  const Answer ok = Fixed(Datagram(PELO_PKT_DATA, 80, "OK\r"));
  OnData({{1000, AckIt()}, {2000, ok}, {3000, ok}});
  ASSERT_EQ(SendCommand("TIME", reply), 0) << ErrorState();
  EXPECT_STREQ(reply, "OK");
  EXPECT_EQ(SentData()[0].substr(4), std::string("TIME\r\0", 6));
  // The repetition is acknowledged and dropped: nothing more comes.
  vp.ClearLog();
  EXPECT_EQ(Outcome(GetMsgEx(reply)), "-1 79 WinSocket timeout expired");
  EXPECT_EQ(Sent(), std::vector<std::string>{Ack(80)});

  // Lengths: 127 characters at most; a null command is the empty one, a carriage return alone.
  OnData({{1000, AckIt()}, {2000, Reply(PELO_PKT_DATA, 100, "R\r")}});
  ASSERT_EQ(SendCommand(std::string(127, 'L').c_str(), reply), 0) << ErrorState();
  EXPECT_EQ(SentData()[0].size(), 133u);
  vp.ClearLog();
  EXPECT_EQ(Outcome(SendCommand(std::string(128, 'L').c_str(), reply)), "-1 3 Wrong parameters");
  EXPECT_TRUE(vp.Log().empty());
  ASSERT_EQ(SendCommand(nullptr, reply), 0) << ErrorState();
  EXPECT_EQ(SentData()[0].substr(4), std::string("\r\0", 2));
}

// The reply is taken the moment it comes; the acknowledgement still waits its 4 ms, and a
// datagram arriving in the pauses around it does not shorten them.
TEST_F(PeloExchange, RepliesAreTakenWhenTheyComeAndTheAckPausesStayWhole) {
  Select(PELO_FORM_SINGLE, 0);
  OnData({{700, AckIt()},
          {1300, Fixed(Datagram(PELO_PKT_DATA, 80, "OK\r"))},
          {6000, Fixed(Datagram(PELO_PKT_DATA, 81, "late\r"))}});
  ASSERT_EQ(SendCommand("TIME", reply), 0) << ErrorState();
  EXPECT_STREQ(reply, "OK");
  const auto times = SendTimes();
  ASSERT_EQ(times.size(), 2u);
  EXPECT_TRUE(Within(times[1] - times[0], 5300u, 5400u));
  EXPECT_TRUE(Within(vp.Now() - times[1], 4000u, 4100u));
}

TEST_F(PeloExchange, InitWhileAwaitingTheAcknowledgementResendsAtOnce) {
  Select(PELO_FORM_NETWORK, 5);
  int heard = 0;
  adapter.SetResponder([&heard](const PeloPacket &p) -> ScriptAdapter::Answers {
    if (p.type != PELO_PKT_DATA) return {};
    if (++heard == 1) return {{1000, Datagram(PELO_PKT_INIT, 90)}};
    return {{1000, Ack(p.seq)}, {2000, Datagram(PELO_PKT_DATA, 91, Network(5, "back"))}};
  });
  ASSERT_EQ(SendCommand("X1", reply), 0) << ErrorState();
  EXPECT_STREQ(reply, "back");
  const auto data = SentData();
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0], data[1]) << "the same datagram, the same number";
  const auto times = SendTimes();
  EXPECT_LT(times[2] - times[0], 20000u) << "resent at once, not after the time-out";
  EXPECT_EQ(Sent()[1], Ack(90));
}

TEST_F(PeloExchange, ThreeUnacknowledgedAttemptsTimeOut) {
  Select(PELO_FORM_NETWORK, 5);
  OnData({{1000, Reply(PELO_PKT_ACK, 1)},
          {2000, Fixed(Datagram(PELO_PKT_DATA, 3, Network(5, "early")))}});
  const Micros start = vp.Now();
  EXPECT_EQ(Outcome(SendCommand("X1", reply)), "-1 79 WinSocket timeout expired");
  const auto data = SentData();
  ASSERT_EQ(data.size(), 3u);
  EXPECT_EQ(data[0], data[2]);
  EXPECT_GE(vp.Now() - start, 2999000u);
  EXPECT_LT(vp.Now() - start, 3100000u);
  EXPECT_EQ(PeloLink.wLastDataSeq, 0xFFFF) << "data before the acknowledgement is no reply";
}

// An empty datagram before the acknowledgement and before the reply: the command goes out once
// and its reply is taken (a parameter set is carried out once and reported done).
TEST_F(PeloExchange, EmptyDatagramsAreRuntsNotTheEnd) {
  Select(PELO_FORM_NETWORK, 5);
  const Answer empty = Fixed("");
  OnData({{500, empty},
          {1000, AckIt()},
          {1500, empty},
          {2000, Reply(PELO_PKT_DATA, 1, Network(5, "CFG 07=1"))}});
  const auto seq = static_cast<uint16_t>(PeloLink.wSeqCounter + 1);
  EXPECT_EQ(Outcome(SendCommand("CFG 07=1", reply)), "0 0 None");
  EXPECT_STREQ(reply, "CFG 07=1");
  EXPECT_EQ(SentData().size(), 1u);
  EXPECT_EQ(Sent().back(), Ack(static_cast<uint16_t>(seq + 1)));
  // In the clean-out before an exchange too.
  adapter.SendAt(vp.Now(), "");
  EXPECT_EQ(Outcome(SendCommand("CFG 07=1", reply)), "0 0 None");
  EXPECT_EQ(SentData().size(), 2u);
}

TEST_F(PeloExchange, FailuresOfSendAndPostCommand) {
  const Answer error = Fixed(Datagram(PELO_PKT_ERROR, 1));
  const Answer oversized = Fixed(Datagram(PELO_PKT_DATA, 9, std::string(150, 'o')));
  const Answer init = Fixed(Datagram(PELO_PKT_INIT, 8));
  struct Case {
    bool post;  // PostCommand in the single form, else SendCommand to terminal 5
    const char *state;
    size_t sends;
    Fault fault;
    Script answers;
  } const cases[] = {
      {false, "96 Error packet received", 1, {}, {{1000, error}}},  // for the acknowledgement
      {false, "79 WinSocket timeout expired", 3, {}, {{1000, AckIt()}, {2000, error}}},  // reply
      {false, "77 Error sending message: 10065", 1, {Call::WsSend, 1, 10065}, {}},
      {false, "78 Error receving message: 10054", 0, {Call::WsRecv, 1, 10054}, {}},  // clean-out
      {false, "79 WinSocket timeout expired", 3, {}, {{1000, AckIt()}, {2000, oversized}}},
      {true, "92 Init packet received", 2, {}, {{1000, init}}},
      {true, "96 Error packet received", 1, {}, {{1000, error}}},
      {true, "79 WinSocket timeout expired", 3, {}, {}},
      {true, "77 Error sending message: 10065", 1, {Call::WsSend, 1, 10065}, {}},
      {true, "78 Error receving message: 10054", 1, {Call::WsRecv, 1, 10054}, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.state);
    const int address = c.post ? 0 : 5;
    Select(c.post ? PELO_FORM_SINGLE : PELO_FORM_NETWORK, address);
    OnData(c.answers);
    c.fault.Arm(vp);
    const auto seq = static_cast<uint16_t>(PeloLink.wSeqCounter + 1);
    EXPECT_EQ(Outcome(c.post ? PostCommand("TIME") : SendCommand("TIME", reply)),
              std::string("-1 ") + c.state);
    EXPECT_EQ(PeloLink.wSeqCounter, seq) << "every call takes a new number";
    EXPECT_EQ(Sent().size(), c.sends);
    EXPECT_EQ(bySelectedTerminal, address) << "the terminal stays selected";
    Close();
  }
}

TEST_F(PeloExchange, ReceiveLineReactsToEveryPacketType) {
  Select(PELO_FORM_NETWORK, 5);
  struct Case {
    const char *outcome;
    std::vector<std::string> acks, datagrams;
  } const cases[] = {
      {"-1 92 Init packet received", {Ack(300)}, {Datagram(PELO_PKT_INIT, 300)}},
      {"-1 96 Error packet received", {}, {Datagram(PELO_PKT_ERROR, 2)}},
      // Runts shorter than the header are of no type, however their first bytes read.
      {"0 0 None",
       {Ack(5)},
       {Datagram(PELO_PKT_ACK, 2), Datagram(PELO_PKT_COMMAND, 3, "x"), Datagram(9, 4, "y"),
        std::string("\x02\x00", 2), std::string("\x03\x00\x05", 3), "",
        Datagram(PELO_PKT_DATA, 5, Network(5, "msg"))}},
      {"-1 79 WinSocket timeout expired",
       {Ack(5)},
       {Datagram(PELO_PKT_DATA, 5, Network(5, "again"))}},
      {"-1 79 WinSocket timeout expired", {}, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.outcome);
    vp.ClearLog();
    for (const auto &d : c.datagrams) adapter.SendAt(vp.Now(), d);
    const Micros start = vp.Now();
    EXPECT_EQ(Outcome(GetMsgEx(reply)), c.outcome);
    EXPECT_EQ(Sent(), c.acks);
    if (std::string(c.outcome).rfind("-1 79", 0) == 0) {
      EXPECT_GE(vp.Now() - start, 999000u) << "one second";
      EXPECT_LT(vp.Now() - start, 1020000u);
    }
  }
  EXPECT_STREQ(reply, "msg");
}

TEST_F(PeloExchange, PostedCommandAndGetResponse) {
  Select(PELO_FORM_NETWORK, 12);
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 40, Network(12, "stale")));
  OnData({{1000, AckIt()}, {50000, Fixed(Datagram(PELO_PKT_DATA, 41, Network(12, "OK")))}});
  const auto seq = static_cast<uint16_t>(PeloLink.wSeqCounter + 1);
  EXPECT_EQ(PostCommand("TIME"), 0) << ErrorState();
  // No clean-out: the send comes first, and the stale datagram is only acknowledged.
  EXPECT_EQ(vp.Log().front().call, Call::WsSend);
  EXPECT_EQ(Sent(),
            (std::vector<std::string>{Datagram(PELO_PKT_DATA, seq, Network(12, "TIME")), Ack(40)}));
  vp.Advance(60000);
  vp.ClearLog();
  ASSERT_EQ(GetResponse(reply), 0) << ErrorState();
  EXPECT_STREQ(reply, "OK");
  EXPECT_EQ(Sent(), std::vector<std::string>{Ack(41)});
  vp.ClearLog();
  EXPECT_EQ(Outcome(GetResponse(reply)), "-1 79 WinSocket timeout expired");
  EXPECT_EQ(vp.LogOf(Call::WsRecv).size(), 7u) << "seven polls, no waiting";

  struct Case {
    std::vector<std::string> datagrams;
    const char *outcome;
  } const cases[] = {
      {{Datagram(PELO_PKT_INIT, 1)}, "-1 92 Init packet received"},
      {{Datagram(PELO_PKT_ERROR, 1)}, "-1 96 Error packet received"},
      {{Datagram(PELO_PKT_DATA, 2, Network(13, "other"))}, "-1 79 WinSocket timeout expired"},
      {{Datagram(PELO_PKT_ACK, 2), Datagram(PELO_PKT_DATA, 3, Network(12, "mine"))}, "0 0 None"},
  };
  for (const auto &c : cases) {
    for (const auto &d : c.datagrams) adapter.SendAt(vp.Now(), d);
    EXPECT_EQ(Outcome(GetResponse(reply)), c.outcome);
  }
  EXPECT_STREQ(reply, "mine");
  // Seven polls in all, whatever they read.
  for (int i = 0; i < 7; ++i) adapter.SendAt(vp.Now(), Datagram(PELO_PKT_ACK, 4));
  adapter.SendAt(vp.Now(), Datagram(PELO_PKT_DATA, 4, Network(12, "eighth")));
  EXPECT_EQ(Outcome(GetResponse(reply)), "-1 79 WinSocket timeout expired");
}

TEST_F(PeloExchange, SelectionFollowsTheLinkForm) {
  // Status null: no SetIPAddress, the form is still none.
  const std::tuple<const char *, int, const char *> cases[] = {
      {nullptr, 1, "91 No selected Pelo"},
      {nullptr, 0, "91 No selected Pelo"},
      {"V C3\r", 0, "3 Wrong parameters"},
      {"V C3\r", 255, "3 Wrong parameters"},
      {"V C3\r", 254, "0 None"},
      {"V C3\r", 1, "0 None"},
      {"V C1\r", 1, "3 Wrong parameters"},
      {"V C1\r", -1, "3 Wrong parameters"},
      {"V C1\r", 0, "0 None"}};
  for (const auto &[status, address, state] : cases) {
    SCOPED_TRACE(std::to_string(address) + (status ? status : " no status"));
    ASSERT_EQ(InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort);
    if (status != nullptr) {
      adapter.SetResponder(Status(status));
      ASSERT_EQ(SetIPAddress("192.168.0.10"), 0);
    }
    vp.ClearLog();
    bySelectedTerminal = 9;
    PeloLink.wLastDataSeq = 3;
    const bool ok = std::string(state) == "0 None";
    EXPECT_EQ(Outcome(ChgTerminal(address)), (ok ? "0 " : "-1 ") + std::string(state));
    EXPECT_EQ(bySelectedTerminal, ok ? address : 255);
    if (address >= 0 && address <= 254) {
      EXPECT_EQ(PeloLink.wLastDataSeq, 0xFFFF);
    }
    // SetTerminal refuses the same addresses; neither sends anything.
    if (!ok) {
      EXPECT_EQ(Outcome(SetTerminal(address)), std::string("-1 ") + state);
    }
    EXPECT_TRUE(Sent().empty());
    ASSERT_EQ(ExitCOMM(), 0);
  }
}

TEST_F(PeloExchange, SetTerminalOpensWithTheEmptyCommandThenIdentifies) {
  Connect("V C3\r");
  adapter.SetResponder([](const PeloPacket &p) -> ScriptAdapter::Answers {
    if (p.type != PELO_PKT_DATA) return {};
    const std::string command = p.text.substr(1);
    std::string answer = command == "%XI" ? "Dulm 3 F" : "";
    return {{1000, Ack(p.seq)}, {2000, Reply(PELO_PKT_DATA, 100, Network(3, answer))(p.seq)}};
  });
  ASSERT_EQ(SetTerminal(3), 0) << ErrorState();
  std::vector<std::string> commands;
  for (const auto &p : adapter.heard) {
    if (p.type == PELO_PKT_DATA) commands.push_back(p.text);
  }
  // The empty reply names no model: EOT and a wait for whatever the terminal still says.
  EXPECT_EQ(commands,
            (std::vector<std::string>{Network(3, ""), Network(3, "\x04"), Network(3, "%XI")}));
  EXPECT_EQ(bySelectedTerminal, 3);
}

// Lines of a listing and of an upload wait the Pelo time-out, not the serial one.
TEST(SimPeloServices, LinesWaitThePeloTimeOut) {
  TestPlatform vp;
  SimPeloLink link{vp};
  sim::Terminal terminal{"Veld", 5};
  link.adapter.AttachTerminal(&terminal);
  ASSERT_EQ(InitCOMM(5002, DEV_PELO, 0, 0), 5002) << ErrorState();
  ASSERT_EQ(SetWinSockTimeOut(3), 0);
  ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
  ASSERT_EQ(SetTerminal(5), 0) << ErrorState();
  terminal.PutFile('C', "CUT", {"one", "two", "three"});
  terminal.Faults().cutAfterLines = 1;
  TempDir files;
  char name[] = "cut", entries[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT];
  for (const bool listing : {false, true}) {
    const Micros start = vp.Now();
    EXPECT_EQ(Outcome(listing ? ListFiles(nullptr, entries)
                              : RecvFile(name, files.Path("out.txt").c_str())),
              "-1 79 WinSocket timeout expired");
    EXPECT_TRUE(Within(vp.Now() - start, 3000000u, 4000000u)) << listing;
    terminal.Faults().cutAfterLines = 0;
  }
  EXPECT_FALSE(files.Exists("out.txt"));
}

}  // namespace
}  // namespace veldc::test
