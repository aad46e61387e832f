// Connecting to a Pelo adapter (SetIPAddress) and resetting it (PeloReset).
#include <algorithm>
#include <string>
#include <vector>

#include "core/errors.h"
#include "device/device.h"
#include "meter/meter.h"
#include "pelo_fixture.h"

namespace veldc::test {
namespace {

using device::bySelectedTerminal;
using device::DeviceState;

class PeloSetup : public PeloTest {
 public:
  void Open() { ASSERT_EQ(InitCOMM(kUdpPort, DEV_PELO, 0, 0), kUdpPort); }
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
  const std::string greeting("\x04\x00\x00\x00\x00", 5), status("\x06\x00\x00\x00X\x00", 6);
  ASSERT_EQ(Sent(), (std::vector<std::string>{greeting, status}));
  EXPECT_GE(SendTimes()[1] - SendTimes()[0], 100000u);
  EXPECT_EQ(PeloLink.wSeqCounter, seqBefore);

  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK);
  EXPECT_EQ(PeloLink.nSavedLinkForm, PELO_FORM_NETWORK);
  EXPECT_EQ(PeloLink.dwConnectedPeloAddr, 0x0A00A8C0u) << "network byte order";
  EXPECT_EQ(PeloLink.dwSelectedPeloAddr, 0x0A00A8C0u);
  EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL);
  EXPECT_TRUE(vp.LogOf(Call::MeterCreate).empty()) << "meter switch off: no window calls";

  // Again: the earlier socket is closed first and the status reply decides the form. A greeting
  // that cannot be sent is no failure; data already waiting is acknowledged, drained and the
  // last read acknowledged.
  struct {
    const char *status;
    int32_t form;
    Fault fault;
    bool waiting;
  } const cases[] = {{"V1\r", PELO_FORM_SINGLE, {Call::WsSend, 1, 10065}, false},
                     {"C3 V\r", PELO_FORM_NETWORK, {}, true},
                     {"VC1C\r", PELO_FORM_SINGLE, {}, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.status);
    vp.ClearLog();
    adapter.SetResponder(Status(c.status));
    c.fault.Arm(vp);
    if (c.waiting) {
      adapter.SendAt(0, Datagram(PELO_PKT_DATA, 31, "\x01late"));
      adapter.SendAt(0, Datagram(PELO_PKT_DATA, 32, "\x01later"));
    }
    ASSERT_EQ(Outcome(SetIPAddress("10.1.2.3")), "0 0 None");
    EXPECT_EQ(PeloLink.nLinkForm, c.form);
    EXPECT_EQ(PeloLink.nSavedLinkForm, c.form);
    EXPECT_EQ(vp.ConnectedAddress(), 0x0A010203u);
    std::vector<std::string> sent{greeting, Ack(31), Ack(32), status};
    if (!c.waiting) sent.erase(sent.begin() + 1, sent.begin() + 3);
    EXPECT_EQ(Sent(), sent);
    const auto &log = vp.Log();
    auto first = [&log](Call call) {
      return std::find_if(log.begin(), log.end(), [call](const auto &e) { return e.call == call; });
    };
    EXPECT_LT(first(Call::WsCloseSocket), first(Call::WsSocket));
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
    SCOPED_TRACE('"' + std::string(text) + '"');
    bySelectedTerminal = 7;
    PeloLink.nLinkForm = PeloLink.nSavedLinkForm = PELO_FORM_SINGLE;
    vp.ClearLog();
    EXPECT_EQ(Outcome(SetIPAddress(text)), "-1 3 Wrong parameters");
    // The earlier socket is left alone, but the selection and the forms are not.
    EXPECT_TRUE(vp.LogOf(Call::WsCloseSocket).empty());
    EXPECT_TRUE(vp.LogOf(Call::WsSocket).empty());
    EXPECT_TRUE(vp.SocketOpen());
    EXPECT_EQ(vp.ConnectedAddress(), 0xC0A8000Au);
    EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL);
    EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK);
    EXPECT_EQ(PeloLink.nSavedLinkForm, PELO_FORM_NETWORK);
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
  struct {
    Fault fault;
    const char *outcome;
    size_t closes;  // 1 when the socket was made
  } const cases[] = {{{Call::WsSocket, 1, 10024}, "-1 74 Error creating socket: 10024", 0},
                     {{Call::WsBind, 1, 10048}, "-1 75 Error binding socket: 10048", 1},
                     {{Call::WsIoctl, 1, 10045}, "-1 76 Error setting socket mode: 10045", 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.outcome);
    Open();
    adapter.SetResponder(Status("V\r"));
    c.fault.Arm(vp);
    bySelectedTerminal = 4;
    EXPECT_EQ(Outcome(SetIPAddress("192.168.0.10")), c.outcome);
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_NONE);
    EXPECT_EQ(DeviceState.hSocket, platform::kWsInvalidSocket);
    EXPECT_EQ(bySelectedTerminal, device::NO_TERMINAL);
    EXPECT_FALSE(vp.SocketOpen());
    EXPECT_EQ(vp.StartupCount(), 0) << "WSACleanup was called";
    EXPECT_EQ(vp.LoadedModuleCount(), 0) << "WSOCK32.DLL was freed";
    EXPECT_EQ(vp.LogOf(Call::WsCloseSocket).size(), c.closes);
    EXPECT_TRUE(vp.LogOf(Call::WsConnect).empty());
    // The device is closed: a new InitCOMM is needed and accepted.
    EXPECT_EQ(PeloReset(), -1);
    vp.ClearLog();
  }
}

TEST_F(PeloSetup, FailuresAfterTheSocketIsMadeKeepIt) {
  const std::string error = Datagram(PELO_PKT_ERROR, 1);
  // A datagram may be waiting, or an error packet come instead of the status reply.
  const struct {
    const char *name;
    Fault fault;
    const std::string *waiting;
    bool errorForStatus;
    const char *state;
  } cases[] = {
      {"connect", {Call::WsConnect, 1, 10049}, nullptr, false, "89 Error connecting socket: 10049"},
      {"status send", {Call::WsSend, 2, 10065}, nullptr, false, "77 Error sending message: 10065"},
      {"clean-out", {Call::WsRecv, 1, 10054}, nullptr, false, "78 Error receving message: 10054"},
      {"reply read", {Call::WsRecv, 3, 10050}, nullptr, false, "78 Error receving message: 10050"},
      {"error in clean-out", {}, &error, false, "96 Error packet received"},
      {"error for status", {}, nullptr, true, "96 Error packet received"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Open();
    PeloLink.dwConnectedPeloAddr = PeloLink.dwSelectedPeloAddr = 0x01020304;
    adapter.SetResponder(Status("V C1\r"));
    if (c.errorForStatus) OnEach(PELO_PKT_COMMAND, {{500, Fixed(error)}});
    c.fault.Arm(vp);
    if (c.waiting != nullptr) adapter.SendAt(0, *c.waiting);
    EnableMeter(1);
    EXPECT_EQ(Outcome(SetIPAddress("192.168.0.10")), std::string("-1 ") + c.state);
    EXPECT_EQ(DeviceState.nDeviceKind, DEV_PELO);
    EXPECT_TRUE(vp.SocketOpen());
    EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_NETWORK);
    EXPECT_EQ(PeloLink.nSavedLinkForm, PELO_FORM_NETWORK);
    EXPECT_EQ(PeloLink.dwConnectedPeloAddr, 0x01020304u);
    EXPECT_EQ(PeloLink.dwSelectedPeloAddr, 0x01020304u);
    EXPECT_EQ(vp.LogOf(Call::MeterCreate).size(), 1u);
    EXPECT_EQ(vp.OpenMeterCount(), 0) << "the meter is closed on failure";
    EnableMeter(0);
    Close();
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
  OnEach(PELO_PKT_COMMAND, {{100, AckIt()},
                            {200, Fixed(Datagram(PELO_PKT_DATA, 40, "\x01hello"))},
                            {300, Fixed(Datagram(PELO_PKT_INIT, 41))},
                            {400, Reply(PELO_PKT_COMMAND, 0, "no version")},
                            {500, Fixed(Datagram(9, 42, "V C3"))},
                            {600, Fixed(Datagram(PELO_PKT_COMMAND, 77, "V C1\r"))}});
  EnableMeter(1);
  ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
  EXPECT_EQ(PeloLink.nLinkForm, PELO_FORM_SINGLE) << "the type 9 datagram was not the reply";
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2], Ack(40));
  EXPECT_EQ(sent[3], Ack(41));
  std::vector<std::string> texts;
  for (const auto &e : vp.LogOf(Call::MeterSetItemText)) {
    texts.push_back(std::to_string(e.a) + ":" + e.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"106:192.168.0.10", "105:Connect Socket",
                                             "105:Status Request", "105:Data..", "105:Data..",
                                             "105:OK !"}));
}

TEST_F(PeloSetup, MeterShowsProgressAndIsGoneAtTheEnd) {
  Open();
  DeviceState.nWinSockTimeOut = 2000;
  OnEach(PELO_PKT_COMMAND, {{300000, Fixed(Datagram(PELO_PKT_COMMAND, 0, "V\r"))}});
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
  // Elapsed milliseconds while waiting, at least every 100 ms and never beyond what has
  // passed; then four fifths.
  EXPECT_LE(progress[progress.size() - 2].b, 300);
  EXPECT_GE(progress[progress.size() - 2].b, 200);
  EXPECT_EQ(progress.back().b, 1600);
  for (const auto &p : progress) EXPECT_EQ(p.a, 10) << "wParam";
  // "OK !" stays in view for half a second before the window goes.
  const Micros okAt = vp.LogOf(Call::MeterSetItemText).back().at;
  EXPECT_GE(vp.LogOf(Call::MeterDestroy)[0].at - okAt, 500000u);
  EXPECT_GE(vp.Now() - start, 900000u);
}

TEST_F(PeloSetup, CleanOutLastsAtMostHalfASecondUnderAStreamOfOtherDatagrams) {
  Open();
  // Acknowledgements of a foreign number, one ready at every read for a second.
  FloodPeer stream(
      &adapter, [](int) { return Ack(99); }, 1000000);
  vp.AttachAdapter(&stream);
  adapter.SetResponder(Status("V\r"));
  ASSERT_EQ(SetIPAddress("192.168.0.10"), 0) << ErrorState();
  const auto sent = vp.LogOf(Call::WsSend);
  ASSERT_EQ(sent.size(), 2u);
  const Micros cleanOut = sent[1].at - sent[0].at - 100000 - 4000;
  EXPECT_GE(cleanOut, 499000u);
  EXPECT_LT(cleanOut, 510000u);
}

TEST_F(PeloSetup, ResetSendsThreeEqualDatagramsAndWaitsForNothing) {
  Connect("V C1\r");
  OnEach(PELO_PKT_COMMAND, {{10, Fixed(Datagram(PELO_PKT_INIT, 5))}});
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
