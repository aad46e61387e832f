// Connecting to a Pelo adapter (SetIPAddress) and resetting it (PeloReset).
#include <functional>
#include <string>
#include <vector>

#include "core/errors.h"
#include "device/device.h"
#include "meter/meter.h"
#include "pelo_fixture.h"

namespace veldc::test {
namespace {

using namespace veldc::pelo;
using device::bySelectedTerminal;
using device::DeviceState;

// What a closed connection reads as.
const std::string kClosed;

class PeloSetup : public PeloTest {
 public:
  void Open() { ASSERT_EQ(InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort); }
  std::vector<std::string> StatusTexts() const {
    std::vector<std::string> out;
    for (const auto &e : vp.LogOf(Call::MeterSetItemText)) {
      out.push_back(std::to_string(e.a) + ":" + e.text);
    }
    return out;
  }
};

TEST_F(PeloSetup, ConnectsGreetsAsksForStatusAndLearnsTheForm) {
  Open();
  adapter.SetResponder(Status("V2.1 C3\r"));
  const uint16_t seqBefore = PeloLink.wSeqCounter;
  ASSERT_EQ(Outcome(SetIPAddress("192.168.0.10")), "0 0 None");

  EXPECT_TRUE(vp.SocketNonBlocking());
  EXPECT_EQ(vp.BoundPort(), kUdpPort);
  EXPECT_EQ(vp.BoundAddress(), 0u);
  EXPECT_EQ(vp.ConnectedAddress(), 0xC0A8000Au);
  const auto connects = vp.LogOf(Call::WsConnect);
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connects[0].b, kUdpPort) << "the adapter listens on the same port number";

  // The greeting acknowledgement, then after the 100 ms pause the unnumbered "X".
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[0], std::string("\x04\x00\x00\x00\x00", 5));
  EXPECT_EQ(Sent()[1], std::string("\x06\x00\x00\x00X\x00", 6));
  EXPECT_GE(SendTimes()[1] - SendTimes()[0], 100000u);
  EXPECT_EQ(PeloLink.wSeqCounter, seqBefore);

  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK);
  EXPECT_EQ(PeloLink.nSavedLinkForm, PELO_FORM_NETWORK);
  EXPECT_EQ(PeloLink.dwConnectedPeloAddr, 0x0A00A8C0u) << "network byte order";
  EXPECT_EQ(PeloLink.dwSelectedPeloAddr, 0x0A00A8C0u);
  EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL);
  EXPECT_TRUE(vp.LogOf(Call::MeterCreate).empty()) << "meter switch off: no window calls";
}

TEST_F(PeloSetup, StatusReplyDecidesTheLinkForm) {
  struct Case {
    const char *status;
    int32_t form;
  } cases[] = {
      {"V1\r", PELO_FORM_SINGLE}, {"C3 V\r", PELO_FORM_NETWORK}, {"VC1C\r", PELO_FORM_SINGLE}};
  Open();
  for (const auto &c : cases) {
    adapter.SetResponder(Status(c.status));
    ASSERT_EQ(SetIPAddress("10.1.2.3"), 0) << c.status << " " << ErrorState();
    EXPECT_EQ(PeloLink.nLinkForm, c.form) << c.status;
    EXPECT_EQ(PeloLink.nSavedLinkForm, c.form) << c.status;
  }
}

TEST_F(PeloSetup, OnlyCanonicalAddressesAreAccepted) {
  Open();
  adapter.SetResponder(Status("V\r"));
  ASSERT_EQ(SetIPAddress("192.168.0.10"), 0);
  const char *refused[] = {
      "192.168.000.010", "192.168.0.10 ",   "0xC0A8000A", "0300.0250.0.012",  "192.168.10",
      "3232235530",      "255.255.255.255", "1.2.34",     "192.168.100.1000", "",
      "a.b.c.d",         "192.168.0.256",   " 1.2.3.4"};
  for (const char *text : refused) {
    bySelectedTerminal = 7;
    PeloLink.nLinkForm = PeloLink.nSavedLinkForm = PELO_FORM_SINGLE;
    vp.ClearLog();
    EXPECT_EQ(Outcome(SetIPAddress(text)), "-1 3 Wrong parameters") << '"' << text << '"';
    // The earlier socket is left alone, but the selection and the forms are not.
    EXPECT_TRUE(vp.LogOf(Call::WsCloseSocket).empty()) << text;
    EXPECT_TRUE(vp.LogOf(Call::WsSocket).empty()) << text;
    EXPECT_TRUE(vp.SocketOpen()) << text;
    EXPECT_EQ(vp.ConnectedAddress(), 0xC0A8000Au) << text;
    EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL) << text;
    EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK) << text;
    EXPECT_EQ(PeloLink.nSavedLinkForm, PELO_FORM_NETWORK) << text;
  }
  for (const char *text : {"1.2.3.4", "255.255.255.254", "0.0.0.0"}) {
    EXPECT_EQ(SetIPAddress(text), 0) << text << " " << ErrorState();
  }
}

TEST_F(PeloSetup, NullAddressWrongOrNoDevice) {
  bySelectedTerminal = 3;
  PeloLink.nLinkForm = PELO_FORM_SINGLE;
  EXPECT_EQ(Outcome(SetIPAddress(nullptr)), "-1 3 Wrong parameters") << "checked first";
  EXPECT_EQ(bySelectedTerminal, 3) << "a null address changes nothing else";
  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_SINGLE);
  EXPECT_EQ(Outcome(SetIPAddress("192.168.0.10")), "-1 2 Device not initialized");
  EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL);
  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK);

  ASSERT_GE(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0), 0) << ErrorState();
  bySelectedTerminal = 0;
  EXPECT_EQ(Outcome(SetIPAddress("192.168.0.10")), "-1 5 Wrong communication device");
  EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL) << "the serial device needs a new selection";
  EXPECT_TRUE(vp.LogOf(Call::WsSocket).empty());
}

TEST_F(PeloSetup, SocketFailuresCloseTheDevice) {
  struct Case {
    Call call;
    int number;
    const char *state;
    bool socketWasMade;
  } cases[] = {
      {Call::WsSocket, 10024, "74 Error creating socket: 10024", false},
      {Call::WsBind, 10048, "75 Error binding socket: 10048", true},
      {Call::WsIoctl, 10045, "76 Error setting socket mode: 10045", true},
  };
  for (const Case &c : cases) {
    Open();
    adapter.SetResponder(Status("V\r"));
    vp.Fail(c.call, 1, c.number);
    bySelectedTerminal = 4;
    EXPECT_EQ(Outcome(SetIPAddress("192.168.0.10")), std::string("-1 ") + c.state);
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE) << c.state;
    EXPECT_EQ(DeviceState.hSocket, platform::kWsInvalidSocket) << c.state;
    EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL) << c.state;
    EXPECT_FALSE(vp.SocketOpen()) << c.state;
    EXPECT_EQ(vp.StartupCount(), 0) << c.state << ": WSACleanup was called";
    EXPECT_EQ(vp.LoadedModuleCount(), 0) << c.state << ": WSOCK32.DLL was freed";
    EXPECT_EQ(vp.LogOf(Call::WsCloseSocket).size(), c.socketWasMade ? 1u : 0u) << c.state;
    EXPECT_TRUE(vp.LogOf(Call::WsConnect).empty()) << c.state;
    // The device is closed: a new InitCOMM is needed and accepted.
    EXPECT_EQ(PeloReset(), -1);
    vp.ClearLog();
  }
}

TEST_F(PeloSetup, FailuresAfterTheSocketIsMadeKeepIt) {
  const std::string error = Datagram(PELO_PKT_ERROR, 1);
  struct Case {
    const char *name;
    Call fail;  // on its `nth` call, when `nth` is not 0
    int nth, number;
    const std::string *waiting;  // a datagram already there, if any
    bool errorForStatus;         // an error packet instead of the status reply
    const char *state;
  } cases[] = {
      {"connect", Call::WsConnect, 1, 10049, nullptr, false, "89 Error connecting socket: 10049"},
      {"status send", Call::WsSend, 2, 10065, nullptr, false, "77 Error sending message: 10065"},
      {"clean-out read", Call::WsRecv, 1, 10054, nullptr, false,
       "78 Error receving message: 10054"},
      {"reply read", Call::WsRecv, 3, 10050, nullptr, false, "78 Error receving message: 10050"},
      {"closed in clean-out", {}, 0, 0, &kClosed, false, "97 WinSocket connection closed"},
      {"error packet in clean-out", {}, 0, 0, &error, false, "96 Error packet received"},
      {"error packet awaiting status", {}, 0, 0, nullptr, true, "96 Error packet received"},
  };
  for (const auto &c : cases) {
    Open();
    PeloLink.dwConnectedPeloAddr = PeloLink.dwSelectedPeloAddr = 0x01020304;
    adapter.SetResponder(Status("V C1\r"));
    if (c.errorForStatus) OnEach(PELO_PKT_COMMAND, {{500, Fixed(error)}});
    if (c.nth != 0) vp.Fail(c.fail, c.nth, c.number);
    if (c.waiting != nullptr) adapter.SendAt(0, *c.waiting);
    EnableMeter(1);
    EXPECT_EQ(Outcome(SetIPAddress("192.168.0.10")), std::string("-1 ") + c.state) << c.name;
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_PELO) << c.name;
    EXPECT_TRUE(vp.SocketOpen()) << c.name;
    EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK) << c.name;
    EXPECT_EQ(PeloLink.nSavedLinkForm, PELO_FORM_NETWORK) << c.name;
    EXPECT_EQ(PeloLink.dwConnectedPeloAddr, 0x01020304u) << c.name;
    EXPECT_EQ(PeloLink.dwSelectedPeloAddr, 0x01020304u) << c.name;
    EXPECT_EQ(vp.LogOf(Call::MeterCreate).size(), 1u) << c.name;
    EXPECT_EQ(vp.OpenMeterCount(), 0) << c.name << ": the meter is closed on failure";
    ASSERT_EQ(ExitCOMM(), 0);
    EnableMeter(0);
    vp.ClearLog();
    adapter = ScriptAdapter();
  }
}

TEST_F(PeloSetup, StatusWithoutVIsIgnoredUntilTheTimeOut) {
  Open();
  DeviceState.nWinSockTimeOut = 1000;
  adapter.SetResponder(Status("C3 no version\r"));
  const Micros start = vp.Now();
  EXPECT_EQ(Outcome(SetIPAddress("192.168.0.10")), "-1 79 WinSocket timeout expired");
  // 100 ms pause, then the time-out.
  const Micros elapsed = vp.Now() - start;
  EXPECT_GE(elapsed, 1100000u);
  EXPECT_LT(elapsed, 1130000u);
  EXPECT_TRUE(vp.SocketOpen());
}

TEST_F(PeloSetup, AnswersOfEveryOtherKindWhileWaitingForStatus) {
  Open();
  adapter.SetResponder([](const PeloPacket &p) -> ScriptAdapter::Answers {
    if (p.type != PELO_PKT_COMMAND) return {};
    return {{100, Datagram(PELO_PKT_ACK, p.seq)},
            {200, Datagram(PELO_PKT_DATA, 40, "\x01hello")},
            {300, Datagram(PELO_PKT_INIT, 41)},
            {400, Datagram(PELO_PKT_COMMAND, p.seq, "no version")},
            {500, Datagram(9, 42, "V C3")},
            {600, Datagram(PELO_PKT_COMMAND, 77, "V C1\r")}};
  });
  EnableMeter(1);
  ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_SINGLE) << "the type 9 datagram was not the reply";
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2], Ack(40));
  EXPECT_EQ(sent[3], Ack(41));
  EXPECT_EQ(StatusTexts(), (std::vector<std::string>{"106:192.168.0.10", "105:Connect Socket",
                                                     "105:Status Request", "105:Data..",
                                                     "105:Data..", "105:OK !"}));
}

TEST_F(PeloSetup, MeterShowsProgressAndIsGoneAtTheEnd) {
  Open();
  DeviceState.nWinSockTimeOut = 2000;
  adapter.SetResponder([](const PeloPacket &p) -> ScriptAdapter::Answers {
    if (p.type != PELO_PKT_COMMAND) return {};
    return {{300000, Datagram(PELO_PKT_COMMAND, 0, "V\r")}};
  });
  EnableMeter(1);
  const Micros start = vp.Now();
  ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
  const auto creates = vp.LogOf(Call::MeterCreate);
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(creates[0].a, 111);
  EXPECT_EQ(vp.LogOf(Call::MeterDestroy).size(), 1u);
  EXPECT_EQ(vp.OpenMeterCount(), 0);
  const auto progress = vp.LogOf(Call::MeterSendProgress);
  ASSERT_GE(progress.size(), 2u);
  // Elapsed milliseconds while waiting, never beyond what has passed; then four fifths.
  EXPECT_LE(progress[progress.size() - 2].b, 300);
  EXPECT_GE(progress[progress.size() - 2].b, 298);
  EXPECT_EQ(progress.back().b, 1600);
  for (const auto &p : progress) EXPECT_EQ(p.a, 10) << "wParam";
  // "OK !" stays in view for half a second before the window goes.
  const Micros okAt = vp.LogOf(Call::MeterSetItemText).back().at;
  EXPECT_GE(vp.LogOf(Call::MeterDestroy)[0].at - okAt, 500000u);
  EXPECT_GE(vp.Now() - start, 900000u);
}

// Acknowledgements of a foreign number, one ready at every read until `until`.
class StreamPeer : public platform::virt::DatagramPeer {
 public:
  StreamPeer(ScriptAdapter *behind, Micros until) : behind_(behind), until_(until) {}
  void FromHost(const uint8_t *data, size_t length, Micros now) override {
    behind_->FromHost(data, length, now);
  }
  bool ToHost(Micros now, std::string *datagram) override {
    if (now >= until_) return behind_->ToHost(now, datagram);
    *datagram = Ack(99);
    return true;
  }

 private:
  ScriptAdapter *behind_;
  Micros until_;
};

TEST_F(PeloSetup, CleanOutLastsAtMostHalfASecondUnderAStreamOfOtherDatagrams) {
  Open();
  StreamPeer stream(&adapter, 1000000);
  vp.AttachAdapter(&stream);
  adapter.SetResponder(Status("V\r"));
  ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
  const auto sent = vp.LogOf(Call::WsSend);
  ASSERT_EQ(sent.size(), 2u);
  const Micros cleanOut = sent[1].at - sent[0].at - 100000 - 4000;
  EXPECT_GE(cleanOut, 499000u);
  EXPECT_LT(cleanOut, 510000u);
}

TEST_F(PeloSetup, CleanOutEndsOnInitOrDataAfterAckDrainAck) {
  Open();
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 31, "\x01late"));
  adapter.SendAt(0, Datagram(PELO_PKT_DATA, 32, "\x01later"));
  adapter.SetResponder(Status("V\r"));
  ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
  EXPECT_EQ(Sent(), (std::vector<std::string>{Ack(0), Ack(31), Ack(32),
                                              std::string("\x06\x00\x00\x00X\x00", 6)}));
}

TEST_F(PeloSetup, AGreetingThatCannotBeSentIsNoFailure) {
  Open();
  adapter.SetResponder(Status("V\r"));
  vp.Fail(Call::WsSend, 1, 10065);
  EXPECT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
}

TEST_F(PeloSetup, SecondCallClosesTheEarlierSocketFirst) {
  Connect();
  EXPECT_EQ(SetIPAddress("192.168.0.11"), 0) << ErrorState();
  const auto &log = vp.Log();
  size_t closeAt = log.size(), openAt = log.size();
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].call == Call::WsCloseSocket && closeAt == log.size()) closeAt = i;
    if (log[i].call == Call::WsSocket && openAt == log.size()) openAt = i;
  }
  EXPECT_LT(closeAt, openAt);
  EXPECT_EQ(vp.ConnectedAddress(), 0xC0A8000Bu);
}

TEST_F(PeloSetup, ResetSendsThreeEqualDatagramsAndWaitsForNothing) {
  Connect("V C1\r");
  adapter.SetResponder([](const PeloPacket &) -> ScriptAdapter::Answers {
    return {{10, Datagram(PELO_PKT_INIT, 5)}};
  });
  const uint16_t seq = PeloLink.wSeqCounter;
  ASSERT_EQ(PeloReset(), 0) << ErrorState();
  const std::string reset =
      std::string("\x06\x00", 2) + char(seq + 1) + std::string("\x00%\x00", 3);
  EXPECT_EQ(Sent(), (std::vector<std::string>{reset, reset, reset}));
  EXPECT_TRUE(vp.LogOf(Call::WsRecv).empty());
  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_SINGLE);
  EXPECT_EQ(PeloLink.dwConnectedPeloAddr, 0x0A00A8C0u);
  EXPECT_EQ(PeloNextSeq(), seq + 2);
}

TEST_F(PeloSetup, ResetFailures) {
  EXPECT_EQ(Outcome(PeloReset()), "-1 2 Device not initialized");
  ASSERT_GE(InitCOMM(2, DEV_SERIAL_NETWORK, 9600, 0), 0);
  EXPECT_EQ(Outcome(PeloReset()), "-1 2 Device not initialized") << "not 5";
  ASSERT_EQ(ExitCOMM(), 0);

  Connect();
  vp.Fail(Call::WsSend, 2, 10051);
  EXPECT_EQ(Outcome(PeloReset()), "-1 77 Error sending message: 10051");
  EXPECT_EQ(vp.LogOf(Call::WsSend).size(), 2u) << "the third is not sent";
}

}  // namespace
}  // namespace veldc::test
