// The Pelo family against a scripted adapter: link, set-up, adapter commands, exchanges.
#include "core/errors.h"
#include "pelo/link.h"
#include "support/fixture.h"

namespace veldc::test {
namespace {

using namespace veldc::pelo;
using device::bySelectedTerminal;
using device::DeviceState;
using sim::PeloPacket;
using Datagrams = std::vector<std::string>;

constexpr uint16_t kUdpPort = 5000;
constexpr uint32_t kAddress10 = 0x0A00A8C0, kAddress11 = 0x0B00A8C0;  // network byte order

std::string Ack(uint16_t seq) { return Datagram(PeloPacket::kAck, seq); }
std::string Network(uint8_t address, const std::string &text) {
  return std::string(1, static_cast<char>(address)) + text;
}

struct Fault {
  Call call;
  int nth, error;
  void Arm(VirtualPlatform &vp) const {
    if (nth != 0) vp.Fail(call, nth, error);
  }
};

class Pelo : public ::testing::Test {
 public:
  void SetUp() override { vp.AttachAdapter(&adapter); }
  static ScriptAdapter::Responder Status(std::string status) {  // answers only "X"
    return [status](const PeloPacket &p) -> ScriptAdapter::Answers {
      if (p.type != PeloPacket::kCommand || p.text != "X") return {};
      return {{1000, Datagram(PeloPacket::kCommand, p.seq, status)}};
    };
  }
  // Each datagram of `type` from the host gets the answers, each after its delay in us and
  // made from the number of the datagram it answers.
  using Answer = std::function<std::string(uint16_t seq)>;
  using Script = std::vector<std::pair<Micros, Answer>>;
  void OnEach(uint16_t type, Script answers) {
    adapter.SetResponder([type, answers](const PeloPacket &p) -> ScriptAdapter::Answers {
      ScriptAdapter::Answers out;
      for (const auto &a : answers) {
        if (p.type == type) out.emplace_back(a.first, a.second(p.seq));
      }
      return out;
    });
  }
  static Answer Reply(uint16_t type, int offset = 0, std::string text = std::string()) {
    return [=](uint16_t seq) { return Datagram(type, static_cast<uint16_t>(seq + offset), text); };
  }
  static Answer AckIt() { return Reply(PeloPacket::kAck); }
  static Answer Fixed(std::string bytes) {
    return [bytes](uint16_t) { return bytes; };
  }
  static bool InForm(int32_t form) {  // the current and the saved one
    return PeloLink.nLinkForm == form && PeloLink.nSavedLinkForm == form;
  }
  void Open() { ASSERT_EQ(InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort); }
  void Connect(const std::string &status = "V2 C3\r") {
    Open();
    adapter.SetResponder(Status(status));
    ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
    DeviceState.nWinSockTimeOut = 1000;
    vp.ClearLog();
  }
  void Close() {  // for the next row of a table
    ASSERT_EQ(ExitCOMM(), 0);
    vp.ClearLog();
    adapter = ScriptAdapter();
  }
  Datagrams Sent() const {  // since the log was cleared
    Datagrams out;
    for (const auto &e : vp.LogOf(Call::WsSend)) out.push_back(e.text);
    return out;
  }
  Micros SentAt(size_t n) const { return vp.LogOf(Call::WsSend).at(n).at; }

  TestPlatform vp;
  ScriptAdapter adapter;
  char reply[VELDC_REPLY_SIZE] = "";
};

using PeloLinkTest = Pelo;

// Numbers run 1 to 255, then 0, never reset; an acknowledgement sits between 4 ms pauses.
TEST_F(PeloLinkTest, NumbersAndAcknowledgements) {
  EXPECT_EQ(PeloNextSeq(), 1) << "the first number after load";
  for (int expected = 2; expected <= 255; ++expected) ASSERT_EQ(PeloNextSeq(), expected);
  EXPECT_EQ(PeloNextSeq(), 0);
  EXPECT_EQ(PeloNextSeq(), 1);
  Connect();
  ASSERT_EQ(ExitCOMM(), 0);
  Connect();
  EXPECT_EQ(PeloNextSeq(), 2) << "neither opening nor connecting starts the count again";
  for (const bool fails : {false, true}) {
    vp.ClearLog();
    adapter.SendAt(0, Datagram(PELO_PKT_DATA, 300, "x"));
    ASSERT_EQ(PeloPoll(), PollResult::kDatagram);
    if (fails) vp.Fail(Call::WsSend, 1, 10055);
    const Micros before = vp.Now();
    EXPECT_EQ(PeloAck(), !fails);
    ASSERT_EQ(Sent(), Datagrams{std::string("\x04\x00\x2C\x01\x00", 5)});
    const Micros sentAt = SentAt(0);
    EXPECT_TRUE(Within(sentAt - before, 4000, 4100));
    // A send that failed skips the second pause and records no error.
    EXPECT_TRUE(Within(vp.Now() - sentAt, fails ? 0 : 4000, fails ? 100 : 4100)) << fails;
    EXPECT_EQ(ErrorState(), "0 None");
  }
}

using PeloSetup = Pelo;

// Greeting, 100 ms, the unnumbered "X" whose reply decides the form; data waiting is drained.
TEST_F(PeloSetup, ConnectsGreetsAsksForStatusAndLearnsTheForm) {
  Open();
  const uint16_t seqBefore = PeloLink.wSeqCounter;
  for (const char *status : {"V2.1 C3\r", "VC1C\r", "C3 V\r"}) {
    vp.ClearLog();
    adapter.SetResponder(Status(status));
    adapter.SendAt(0, Datagram(PELO_PKT_DATA, 31, "\x01late"));
    adapter.SendAt(0, Datagram(PELO_PKT_DATA, 32, "\x01later"));
    ASSERT_EQ(Outcome(SetIPAddress("192.168.0.10")), "0 0 None");
    EXPECT_TRUE(vp.SocketNonBlocking());
    EXPECT_EQ(vp.BoundPort(), kUdpPort);
    EXPECT_EQ(vp.ConnectedAddress(), 0xC0A8000Au);
    EXPECT_EQ(vp.LogOf(Call::WsConnect).at(0).b, kUdpPort) << "the adapter's port is the same";
    EXPECT_EQ(Sent(), (Datagrams{std::string("\x04\x00\x00\x00\x00", 5), Ack(31), Ack(32),
                                 std::string("\x06\x00\x00\x00X\x00", 6)}));
    EXPECT_GE(vp.LogOf(Call::WsSend).back().at - SentAt(0), 100000u);
    EXPECT_EQ(PeloLink.wSeqCounter, seqBefore);
    EXPECT_TRUE(InForm(status[1] == 'C' ? PELO_FORM_SINGLE : PELO_FORM_NETWORK)) << status;
    EXPECT_EQ(PeloLink.dwConnectedPeloAddr, kAddress10);
    EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL);
    EXPECT_EQ(vp.LogOf(Call::WsCloseSocket).size(), *status == 'V' && status[1] == '2' ? 0u : 1u);
  }
}

// The connect meter as the host's callback sees it, a data datagram arriving during the wait;
// the shortest address.
TEST_F(PeloSetup, TheConnectMeterReportsEachStep) {
  Open();
  EXPECT_EQ(Outcome(ChgTerminal(0)), "-1 91 No selected Pelo");
  Lines reports;
  SetProgressCallback(CollectReport, &reports);
  EnableMeter(1);
  adapter.SetResponder([](const PeloPacket &p) -> ScriptAdapter::Answers {
    if (p.type != PeloPacket::kCommand) return {};
    return {{100000, Datagram(PeloPacket::kData, 40, "\x01x")},
            {300000, Datagram(PeloPacket::kCommand, p.seq, "V C1\r")}};
  });
  ASSERT_EQ(Outcome(SetIPAddress("1.2.3.4")), "0 0 None");
  const auto ok = vp.LogOf(Call::MeterSetItemText).back();
  EXPECT_EQ(ok.text, "OK !");
  EXPECT_GE(vp.LogOf(Call::MeterDestroy).back().at - ok.at, 500000u) << "left in view";
  EXPECT_EQ(reports, (Lines{"111,0,0,0,7000,", "111,3,0,0,7000,Connect Socket",
                            "111,3,0,0,7000,Status Request", "111,1,0,0,7000,",
                            "111,3,0,0,7000,Data..", "111,1,0,108,7000,", "111,1,0,208,7000,",
                            "111,3,0,0,7000,OK !", "111,1,0,5600,7000,", "111,2,0,0,7000,"}));
}

// Failures up to the socket's mode close the device; later ones (a status without "V" too)
// keep the socket, the forms and the addresses.
TEST_F(PeloSetup, FailuresAndWhatTheyLeave) {
  const Fault none{};
  const std::string error = Datagram(PELO_PKT_ERROR, 1);
  // The fault, the state, sockets closed (-1: the device stays open), an error datagram waiting
  // or sent for the status request, and the status.
  const std::tuple<Fault, const char *, int, int, const char *> cases[] = {
      {{Call::WsSocket, 1, 10024}, "74 Error creating socket: 10024", 0, 0, "V C1\r"},
      {{Call::WsIoctl, 1, 10045}, "76 Error setting socket mode: 10045", 1, 0, "V C1\r"},
      {{Call::WsConnect, 1, 10049}, "89 Error connecting socket: 10049", -1, 0, "V C1\r"},
      {{Call::WsSend, 2, 10065}, "77 Error sending message: 10065", -1, 0, "V C1\r"},
      {{Call::WsRecv, 1, 10054}, "78 Error receving message: 10054", -1, 0, "V C1\r"},
      {none, "96 Error packet received", -1, 1, "V C1\r"},
      {none, "96 Error packet received", -1, 2, "V C1\r"},
      {none, "79 WinSocket timeout expired", -1, 0, "C3 no version\r"}};
  for (const auto &[fault, state, closes, errorAt, status] : cases) {
    SCOPED_TRACE(state);
    Open();
    DeviceState.nWinSockTimeOut = 1000;
    PeloLink.dwConnectedPeloAddr = PeloLink.dwSelectedPeloAddr = 0x01020304;
    adapter.SetResponder(Status(status));
    if (errorAt == 1) adapter.SendAt(0, error);
    if (errorAt == 2) OnEach(PELO_PKT_COMMAND, {{500, Fixed(error)}});
    fault.Arm(vp);
    bySelectedTerminal = 4;
    EnableMeter(1);
    const Micros start = vp.Now();
    EXPECT_EQ(Outcome(SetIPAddress("192.168.0.10")), std::string("-1 ") + state);
    EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL);
    EXPECT_EQ(vp.OpenMeterCount(), 0) << "the meter is closed on failure";
    EnableMeter(0);
    EXPECT_TRUE(*status != 'C' || Within(vp.Now() - start, 1100000, 1130000));
    if (closes < 0) {
      EXPECT_TRUE(vp.SocketOpen());
      EXPECT_TRUE(InForm(PELO_FORM_NETWORK));
      EXPECT_EQ(std::make_pair(PeloLink.dwConnectedPeloAddr, PeloLink.dwSelectedPeloAddr),
                std::make_pair(0x01020304u, 0x01020304u));
      Close();
      continue;
    }
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE);
    EXPECT_EQ(DeviceState.hSocket, platform::kWsInvalidSocket);
    EXPECT_FALSE(vp.SocketOpen());
    EXPECT_EQ(vp.StartupCount(), 0) << "WSACleanup was called";
    EXPECT_EQ(vp.LoadedModuleCount(), 0) << "WSOCK32.DLL was freed";
    EXPECT_EQ(vp.LogOf(Call::WsCloseSocket).size(), static_cast<size_t>(closes));
    EXPECT_TRUE(vp.LogOf(Call::WsConnect).empty());
    vp.ClearLog();
  }
}

TEST_F(PeloSetup, ResetSendsThreeEqualDatagramsAndWaitsForNothing) {
  Connect("V C1\r");
  OnEach(PELO_PKT_COMMAND, {{10, Fixed(Datagram(PELO_PKT_INIT, 5))}});
  const uint16_t seq = PeloLink.wSeqCounter;
  ASSERT_EQ(PeloReset(), 0) << ErrorState();
  const std::string reset =
      std::string("\x06\x00", 2) + char(seq + 1) + std::string("\x00%\x00", 3);
  EXPECT_EQ(Sent(), (Datagrams{reset, reset, reset}));
  EXPECT_TRUE(vp.LogOf(Call::WsRecv).empty());
  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_SINGLE);
  EXPECT_EQ(PeloNextSeq(), seq + 2);
  vp.ClearLog();
  vp.Fail(Call::WsSend, 2, 10051);
  EXPECT_EQ(Outcome(PeloReset()), "-1 77 Error sending message: 10051");
  EXPECT_EQ(vp.LogOf(Call::WsSend).size(), 2u) << "the third is not sent";
}

class PeloCommandTest : public Pelo {
 public:
  void SetUp() override {
    Pelo::SetUp();
    Connect();
    std::memset(reply, '#', sizeof reply - 1);
  }
  void OnCommand(Script answers) { OnEach(PELO_PKT_COMMAND, std::move(answers)); }
  std::string Untouched() const { return std::string(sizeof reply - 1, '#'); }
};

// Replies (the status reply trimmed at its CR), and what else ends the wait.
TEST_F(PeloCommandTest, RepliesAndWhatEndsTheWait) {
  const Answer done = Reply(PELO_PKT_COMMAND, 0, "done");
  const Answer init = Fixed(Datagram(PELO_PKT_INIT, 300)), odd = Fixed(Datagram(7, 1, "odd"));
  const Answer data = Fixed(Datagram(PELO_PKT_DATA, 17, "\x05TIME 120000"));
  const Answer oversized = Reply(PELO_PKT_COMMAND, 0, std::string(196, 'o'));
  const Script initRuntOdd = {{1000, init}, {1500, Fixed("")}, {2000, odd}, {30000, done}};
  // The command, the outcome, the reply (null: the buffer is left untouched), the datagrams sent
  // after the command, a fault and the adapter's answers.
  const std::tuple<const char *, const char *, const char *, Datagrams, Fault, Script> cases[] = {
      {"X", "0 0 None", "V2.1 C3", {}, {}, {{2000, Reply(PELO_PKT_COMMAND, 500, "V2.1 C3\r")}}},
      {"X", "0 0 None", "", {}, {}, {{2000, Reply(PELO_PKT_COMMAND, 500, "V")}}},
      // An acknowledgement of our number ends it; one of another number does not.
      {"Q", "0 0 None", nullptr, {}, {}, {{1000, Reply(PELO_PKT_ACK, 1)}, {2000, AckIt()}}},
      // An init is acknowledged and the wait goes on; unknown types and runts are dropped.
      {"", "0 0 None", "done", {Ack(300)}, {}, initRuntOdd},
      // Terminal data is acknowledged and ends it without a code.
      {"Q", "-1 0 None", nullptr, {Ack(17)}, {}, {{1000, data}}},
      {"Q", "-1 96 Error packet received", nullptr, {}, {}, {{1000, Reply(PELO_PKT_ERROR)}}},
      {"Q", "-1 78 Error receving message: 10040", nullptr, {}, {}, {{1000, oversized}}},
      {"Q", "-1 78 Error receving message: 10050", nullptr, {}, {Call::WsRecv, 1, 10050}, {}},
  };
  for (const auto &[command, outcome, text, acks, fault, answers] : cases) {
    SCOPED_TRACE(outcome);
    vp.ClearLog();
    std::memset(reply, '#', sizeof reply - 1);
    OnCommand(answers);
    fault.Arm(vp);
    const auto seq = static_cast<uint16_t>(PeloLink.wSeqCounter + 1);
    EXPECT_EQ(Outcome(PeloCommand(command, reply)), outcome);
    EXPECT_EQ(std::string(reply), text ? text : Untouched());
    EXPECT_EQ(PeloLink.wSeqCounter, seq);
    Datagrams sent{Datagram(PELO_PKT_COMMAND, seq, command)};
    if (fault.nth == 1) sent.clear();  // failed clean-out
    sent.insert(sent.end(), acks.begin(), acks.end());
    EXPECT_EQ(Sent(), sent);
    // An acknowledgement is followed by a 4 ms pause before anything else.
    EXPECT_TRUE(acks.empty() || vp.Now() - vp.LogOf(Call::WsSend).back().at >= 4000u);
  }
  // Silence: three attempts with one number, then the time-out.
  OnCommand({});
  vp.ClearLog();
  EXPECT_EQ(Outcome(PeloCommand("Q", reply)), "-1 79 WinSocket timeout expired");
  EXPECT_EQ(Sent(), Datagrams(3, Datagram(PELO_PKT_COMMAND, PeloLink.wSeqCounter, "Q")));
  EXPECT_EQ(Outcome(PeloCommand(nullptr, reply)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(PeloCommand("X", nullptr)), "-1 3 Wrong parameters");
  EXPECT_EQ(Outcome(PeloCommand(std::string(128, 'q').c_str(), reply)), "-1 3 Wrong parameters");
  EXPECT_EQ(Sent().size(), 3u) << "refusals send nothing";
}

// The reset waits at least 4 s for an init or the acknowledgement of its number.
TEST_F(PeloCommandTest, ResetWaitsAndItsFailures) {
  OnCommand({{1000, Fixed(Datagram(PELO_PKT_DATA, 50, "\x01x"))},
             {2000, Reply(PELO_PKT_ACK, 1)},
             {3000, Fixed(Datagram(PELO_PKT_COMMAND, 0, "cmd"))},
             {4000, AckIt()}});
  ASSERT_EQ(PeloCommand("%", reply), 0) << ErrorState();
  EXPECT_EQ(std::string(reply), Untouched());
  EXPECT_EQ(Sent().at(1), Ack(50));
  OnCommand({{1000, Fixed(Datagram(PELO_PKT_INIT, 51))}});
  vp.Fail(Call::WsSend, 2, 10065);  // the acknowledgement of the init is lost
  EXPECT_EQ(Outcome(PeloCommand("%", reply)), "0 0 None");
  EXPECT_STREQ(reply, "UDP_INIT");
  adapter = ScriptAdapter();
  vp.ClearLog();
  EXPECT_EQ(Outcome(PeloCommand("%", reply)), "-1 79 WinSocket timeout expired");
  ASSERT_EQ(Sent().size(), 1u) << "sent once";
  EXPECT_TRUE(Within(vp.Now() - SentAt(0), 3999000, 4002000)) << "of a 1 s time-out";
  OnCommand({{1000, Reply(PELO_PKT_ERROR)}});
  EXPECT_EQ(Outcome(PeloCommand("%", reply)), "-1 96 Error packet received");
  // "A" and "C" choose what the next reset moves to; a failed reconnection is reported and the
  // form is not switched.
  OnCommand({{1000, Reply(PELO_PKT_COMMAND, 0, "fine\r")}});
  ASSERT_EQ(PeloCommand("A192.168.0.11", reply) + PeloCommand("XC1", reply), 0) << ErrorState();
  EXPECT_TRUE(PeloLink.dwSelectedPeloAddr == kAddress11 &&
              PeloLink.nSavedLinkForm == PELO_FORM_SINGLE);
  vp.Fail(Call::WsConnect, 1, 10049);
  EXPECT_EQ(Outcome(PeloCommand("%", reply)), "-1 89 Error connecting socket: 10049");
  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK);
}

class PeloExchange : public Pelo {
 public:
  void Select(int32_t form, int address) {
    Connect(form == PELO_FORM_NETWORK ? "V C3\r" : "V C1\r");
    ASSERT_EQ(ChgTerminal(address), 0) << ErrorState();
    vp.ClearLog();
  }
  void OnData(Script answers) { OnEach(PELO_PKT_DATA, std::move(answers)); }
  Datagrams SentData() const {
    Datagrams out;
    for (const auto &d : Sent()) {
      if (d.size() > 1 && d[0] == PELO_PKT_DATA) out.push_back(d);
    }
    return out;
  }
};

TEST_F(PeloExchange, SingleFormEndsTheCommandWithACarriageReturn) {
  Select(PELO_FORM_SINGLE, 0);
  EXPECT_EQ(Outcome(ChgTerminal(1)), "-1 3 Wrong parameters") << "the single form has terminal 0";
  ASSERT_EQ(ChgTerminal(0), 0);
  const Answer ok = Fixed(Datagram(PELO_PKT_DATA, 80, "OK\r"));
  OnData({{1000, AckIt()}, {2000, ok}, {3000, ok}});
  ASSERT_EQ(SendCommand("TIME", reply), 0) << ErrorState();
  EXPECT_STREQ(reply, "OK");
  EXPECT_EQ(SentData()[0].substr(4), std::string("TIME\r\0", 6));
  // The repetition is acknowledged and dropped: nothing more comes.
  vp.ClearLog();
  EXPECT_EQ(Outcome(GetMsgEx(reply)), "-1 79 WinSocket timeout expired");
  EXPECT_EQ(Sent(), Datagrams{Ack(80)});
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

TEST_F(PeloExchange, FailuresOfSendAndPostCommand) {
  const Answer error = Fixed(Datagram(PELO_PKT_ERROR, 1));
  const Answer oversized = Fixed(Datagram(PELO_PKT_DATA, 9, std::string(150, 'o')));
  // PostCommand in the single form or SendCommand to terminal 5, the state, the datagrams sent,
  // a fault and the adapter's answers.
  const std::tuple<bool, const char *, size_t, Fault, Script> cases[] = {
      {false, "96 Error packet received", 1, {}, {{1000, error}}},  // for the acknowledgement
      {false, "79 WinSocket timeout expired", 3, {}, {{1000, AckIt()}, {2000, error}}},  // reply
      {false, "78 Error receving message: 10054", 0, {Call::WsRecv, 1, 10054}, {}},  // clean-out
      {false, "79 WinSocket timeout expired", 3, {}, {{1000, AckIt()}, {2000, oversized}}},
      {true, "92 Init packet received", 2, {}, {{1000, Fixed(Datagram(PELO_PKT_INIT, 8))}}},
      {true, "79 WinSocket timeout expired", 3, {}, {}},
      {true, "77 Error sending message: 10065", 1, {Call::WsSend, 1, 10065}, {}},
      {true, "78 Error receving message: 10054", 1, {Call::WsRecv, 1, 10054}, {}},
  };
  for (const auto &[post, state, sends, fault, answers] : cases) {
    SCOPED_TRACE(state);
    const int address = post ? 0 : 5;
    Select(post ? PELO_FORM_SINGLE : PELO_FORM_NETWORK, address);
    OnData(answers);
    fault.Arm(vp);
    const auto seq = static_cast<uint16_t>(PeloLink.wSeqCounter + 1);
    EXPECT_EQ(Outcome(post ? PostCommand("TIME") : SendCommand("TIME", reply)),
              std::string("-1 ") + state);
    EXPECT_EQ(PeloLink.wSeqCounter, seq) << "every call takes a new number";
    EXPECT_EQ(Sent().size(), sends);
    EXPECT_EQ(bySelectedTerminal, address) << "the terminal stays selected";
    Close();
  }
}

TEST_F(PeloExchange, PostedCommandAndGetResponse) {
  Select(PELO_FORM_NETWORK, 12);
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 40, Network(12, "stale")));
  OnData({{1000, AckIt()}, {50000, Fixed(Datagram(PELO_PKT_DATA, 41, Network(12, "OK")))}});
  const auto seq = static_cast<uint16_t>(PeloLink.wSeqCounter + 1);
  EXPECT_EQ(PostCommand("TIME"), 0) << ErrorState();
  // No clean-out: the send comes first, and the stale datagram is only acknowledged.
  EXPECT_EQ(vp.Log().front().call, Call::WsSend);
  EXPECT_EQ(Sent(), (Datagrams{Datagram(PELO_PKT_DATA, seq, Network(12, "TIME")), Ack(40)}));
  vp.Advance(60000);
  vp.ClearLog();
  ASSERT_EQ(GetResponse(reply), 0) << ErrorState();
  EXPECT_STREQ(reply, "OK");
  EXPECT_EQ(Sent(), Datagrams{Ack(41)});
  vp.ClearLog();
  EXPECT_EQ(Outcome(GetResponse(reply)), "-1 79 WinSocket timeout expired");
  EXPECT_EQ(vp.LogOf(Call::WsRecv).size(), 7u) << "seven polls, no waiting";
  const std::pair<Datagrams, const char *> cases[] = {
      {{Datagram(PELO_PKT_INIT, 1)}, "-1 92 Init packet received"},
      {{Datagram(PELO_PKT_ERROR, 1)}, "-1 96 Error packet received"},
      {{Datagram(PELO_PKT_DATA, 2, Network(13, "other"))}, "-1 79 WinSocket timeout expired"},
      {{Datagram(PELO_PKT_ACK, 2), Datagram(PELO_PKT_DATA, 3, Network(12, "mine"))}, "0 0 None"},
  };
  for (const auto &[datagrams, outcome] : cases) {
    for (const auto &d : datagrams) adapter.SendAt(vp.Now(), d);
    EXPECT_EQ(Outcome(GetResponse(reply)), outcome);
  }
  EXPECT_STREQ(reply, "mine");
}

// A terminal that answers the empty command without its model is busy: EOT, then identified.
TEST_F(PeloExchange, SetTerminalStopsABusyTerminalThenIdentifies) {
  Connect("V C3\r");
  adapter.SetResponder([](const PeloPacket &p) -> ScriptAdapter::Answers {
    if (p.type != PELO_PKT_DATA) return {};
    const std::string answer = p.text.substr(1) == "%XI" ? "Dulm 3 F" : "";
    return {{1000, Ack(p.seq)}, {2000, Reply(PELO_PKT_DATA, 100, Network(3, answer))(p.seq)}};
  });
  EXPECT_EQ(Outcome(SetTerminal(0)), "-1 3 Wrong parameters") << "0 is no network address";
  EXPECT_EQ(Outcome(ChgTerminal(255)), "-1 3 Wrong parameters") << "254 is the last address";
  EXPECT_EQ(Outcome(ChgTerminal(254)), "0 0 None");
  ASSERT_EQ(SetTerminal(3), 0) << ErrorState();
  Datagrams texts;  // without the header and the closing NUL
  for (const auto &d : SentData()) texts.push_back(d.substr(4, d.size() - 5));
  EXPECT_EQ(texts, (Datagrams{Network(3, ""), Network(3, "\x04"), Network(3, "%XI")}));
  EXPECT_EQ(bySelectedTerminal, 3);
}

}  // namespace
}  // namespace veldc::test
