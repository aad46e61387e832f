// The test backend itself: its clock, its peers' timing, purge, fault injection and the
// WinSock semantics the library relies on. Everything here runs on virtual time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>

#include "device/timing.h"
#include "platform/virtual/virtual_platform.h"
#include "platform/winsock_text.h"

namespace veldc::platform::virt {
namespace {

// A serial far end that sends scripted bytes at given instants and keeps what it got.
class TimedSerial : public SerialPeer {
 public:
  void SendAt(Micros at, const std::string &bytes) { queue_.emplace(at, bytes); }
  void FromHost(const uint8_t *data, size_t length, Micros now) override {
    got_.emplace_back(now, std::string(reinterpret_cast<const char *>(data), length));
  }
  void ToHost(Micros now, std::string *out) override {
    while (!queue_.empty() && queue_.begin()->first <= now) {
      *out += queue_.begin()->second;
      queue_.erase(queue_.begin());
    }
  }
  std::vector<std::pair<Micros, std::string>> got_;

 private:
  std::multimap<Micros, std::string> queue_;
};

class TimedAdapter : public DatagramPeer {
 public:
  void SendAt(Micros at, const std::string &d) { queue_.emplace(at, d); }
  void FromHost(const uint8_t *data, size_t length, Micros now) override {
    got_.emplace_back(now, std::string(reinterpret_cast<const char *>(data), length));
  }
  bool ToHost(Micros now, std::string *d) override {
    if (queue_.empty() || queue_.begin()->first > now) return false;
    *d = queue_.begin()->second;
    queue_.erase(queue_.begin());
    return true;
  }
  std::vector<std::pair<Micros, std::string>> got_;

 private:
  std::multimap<Micros, std::string> queue_;
};

std::string ReadAll(VirtualPlatform &vp, Handle port) {
  std::string s;
  char buf[64];
  for (uint32_t n; (n = vp.ComRead(port, buf, sizeof(buf))) > 0;) s.append(buf, n);
  return s;
}

// ---- Clock ----------------------------------------------------------------------------------

TEST(VirtualClock, LongWaitIsCheapAndPausesAreExact) {
  VirtualPlatform vp;
  for (int ms : {0, 1, 5, 250, 2000}) {
    const Micros before = vp.Now();
    const auto real = std::chrono::steady_clock::now();
    device::WaitMs(ms);
    const auto cost = std::chrono::steady_clock::now() - real;
    const Micros took = vp.Now() - before;
    EXPECT_GE(took, static_cast<Micros>(ms) * 1000) << ms;
    EXPECT_LT(took, static_cast<Micros>(ms) * 1000 + 100) << ms;  // within 0.1 ms
    EXPECT_LT(cost, std::chrono::milliseconds(10)) << ms;
  }
}

TEST(VirtualClock, SleepJumpsAndReadsStep) {
  VirtualPlatform vp;
  vp.SleepMs(1234);
  EXPECT_EQ(vp.Now(), 1234000u);
  vp.Advance(66);
  EXPECT_EQ(vp.Now(), 1234066u);
  EXPECT_EQ(vp.PerfFrequency(), 1000000);
  const int64_t a = vp.PerfCounter();
  const int64_t b = vp.PerfCounter();
  EXPECT_EQ(b - a, static_cast<int64_t>(VirtualPlatform::kReadStep));
}

TEST(VirtualClock, CounterAndTickStartsAndWrap) {
  VirtualPlatform vp;
  vp.SetCounterStart(int64_t{1} << 40);
  const int64_t counter = vp.PerfCounter();
  EXPECT_EQ(counter - (int64_t{1} << 40), static_cast<int64_t>(vp.Now()));

  vp.SetTickStart(0xFFFFFFFFu - 300);  // wraps 300 ms from now
  EXPECT_EQ(vp.TickCount(), 0xFFFFFFFFu - 300);
  device::Deadline d(1000);
  vp.SleepMs(600);
  EXPECT_LT(vp.TickCount(), 1000u);  // wrapped
  EXPECT_FALSE(d.Expired());
  EXPECT_EQ(d.ElapsedMs(), 600u);
  vp.SleepMs(400);
  EXPECT_TRUE(d.Expired());
}

TEST(VirtualClock, InstallsAndRestoresTheBackend) {
  {
    VirtualPlatform vp;
    vp.SetUtcYear(2031);
    EXPECT_EQ(&Os(), &vp);
    EXPECT_EQ(Os().UtcYear(), 2031);
    EXPECT_EQ(VirtualPlatform::Current(), &vp);
  }
  EXPECT_EQ(&Os(), &NativePlatform());
  EXPECT_EQ(VirtualPlatform::Current(), nullptr);
}

// ---- COM port -------------------------------------------------------------------------------

TEST(VirtualSerial, BytesArriveOnlyWhenDueAndWritesReachThePeer) {
  VirtualPlatform vp;
  TimedSerial peer;
  vp.AttachSerial(&peer);
  const Handle port = vp.ComOpen("COM2");
  ASSERT_NE(port, kInvalidHandle);
  EXPECT_EQ(vp.LastPortName(), "COM2");
  peer.SendAt(1000, "AB");
  peer.SendAt(3000, "C");
  vp.Advance(999);
  EXPECT_EQ(ReadAll(vp, port), "");
  vp.Advance(1);
  char one;
  ASSERT_EQ(vp.ComRead(port, &one, 1), 1u);
  EXPECT_EQ(one, 'A');
  EXPECT_EQ(ReadAll(vp, port), "B");
  vp.Advance(2000);
  EXPECT_EQ(ReadAll(vp, port), "C");

  uint32_t written = 0;
  ASSERT_TRUE(vp.ComWrite(port, "\x05xyz", 4, &written));
  EXPECT_EQ(written, 4u);
  vp.Advance(10);
  ASSERT_TRUE(vp.ComTransmitChar(port, '\x13'));
  EXPECT_EQ(vp.Written(), std::string("\x05xyz\x13"));
  const auto writes = vp.Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].first, 3000u);
  EXPECT_EQ(writes[1].first, 3010u);
  EXPECT_EQ(peer.got_, writes);
  vp.ClearWritten();
  EXPECT_EQ(vp.Written(), "");
}

TEST(VirtualSerial, PurgeDropsWhatHasArrivedButNotWhatComesLater) {
  VirtualPlatform vp;
  TimedSerial peer;
  vp.AttachSerial(&peer);
  const Handle port = vp.ComOpen("COM1");
  peer.SendAt(100, "old");
  peer.SendAt(500, "new");
  vp.Advance(200);
  ASSERT_TRUE(vp.ComPurge(port, kPurgeTxClear));  // TX only keeps the input
  EXPECT_EQ(vp.PendingInput(), 3u);
  ASSERT_TRUE(vp.ComPurge(port, kPurgeRxClear | kPurgeTxClear));
  EXPECT_EQ(vp.PendingInput(), 0u);
  vp.Advance(300);
  EXPECT_EQ(ReadAll(vp, port), "new");
}

TEST(VirtualSerial, PortsAreNotSharedAndStateIsKept) {
  VirtualPlatform vp;
  const Handle a = vp.ComOpen("COM1");
  ASSERT_NE(a, kInvalidHandle);
  EXPECT_EQ(vp.ComOpen("com1"), kInvalidHandle);
  const Handle b = vp.ComOpen("COM3");
  ASSERT_NE(b, kInvalidHandle);
  EXPECT_EQ(vp.OpenPortCount(), 2);

  ComState s;
  ASSERT_TRUE(vp.ComGetState(a, &s));
  s.BaudRate = 19200;
  s.ByteSize = 7;
  s.Parity = kEvenParity;
  ASSERT_TRUE(vp.ComSetState(a, s));
  EXPECT_EQ(vp.LastState().BaudRate, 19200u);
  EXPECT_EQ(vp.LastState().ByteSize, 7);
  ComState bad = s;
  bad.ByteSize = 9;
  EXPECT_FALSE(vp.ComSetState(a, bad));
  EXPECT_EQ(vp.LastState().ByteSize, 7);
  ComTimeouts t;
  t.WriteTotalTimeoutConstant = 100;
  ASSERT_TRUE(vp.ComSetTimeouts(a, t));
  EXPECT_EQ(vp.LastTimeouts().WriteTotalTimeoutConstant, 100u);

  EXPECT_TRUE(vp.ComClose(a));
  EXPECT_FALSE(vp.ComClose(a));
  uint32_t written = 7;
  EXPECT_FALSE(vp.ComWrite(a, "x", 1, &written));  // closed handle
  EXPECT_EQ(written, 0u);
  EXPECT_NE(vp.ComOpen("COM1"), kInvalidHandle);
}

TEST(VirtualSerial, ClearErrorMasksComeInOrderThenZero) {
  VirtualPlatform vp;
  const Handle port = vp.ComOpen("COM1");
  vp.QueueClearErrorMask(0x10);
  vp.QueueClearErrorMask(0x02);
  uint32_t mask = 99;
  for (uint32_t expected : {0x10u, 0x02u, 0u, 0u}) {
    ASSERT_TRUE(vp.ComClearError(port, &mask));
    EXPECT_EQ(mask, expected);
  }
}

// Each call of the table fails on exactly the nth call scheduled, and only then.
TEST(VirtualFaults, NthCallFailsOnce) {
  struct Case {
    Call call;
    bool (*run)(VirtualPlatform &, Handle);
  };
  const Case cases[] = {
      {Call::ComSetupQueues,
       [](VirtualPlatform &vp, Handle p) { return vp.ComSetupQueues(p, 4096, 4096); }},
      {Call::ComGetState,
       [](VirtualPlatform &vp, Handle p) {
         ComState s;
         return vp.ComGetState(p, &s);
       }},
      {Call::ComSetState,
       [](VirtualPlatform &vp, Handle p) { return vp.ComSetState(p, vp.LastState()); }},
      {Call::ComSetTimeouts,
       [](VirtualPlatform &vp, Handle p) { return vp.ComSetTimeouts(p, ComTimeouts{}); }},
      {Call::ComPurge, [](VirtualPlatform &vp, Handle p) { return vp.ComPurge(p, kPurgeRxClear); }},
      {Call::ComClearError,
       [](VirtualPlatform &vp, Handle p) {
         uint32_t m;
         return vp.ComClearError(p, &m);
       }},
      {Call::ComWrite,
       [](VirtualPlatform &vp, Handle p) {
         uint32_t w;
         return vp.ComWrite(p, "ab", 2, &w);
       }},
      {Call::ComTransmitChar,
       [](VirtualPlatform &vp, Handle p) { return vp.ComTransmitChar(p, 'x'); }},
      {Call::MeterCreate,
       [](VirtualPlatform &vp, Handle) { return vp.MeterCreate(vp.SelfModule(), 110) != 0; }},
      {Call::ModuleLoad,
       [](VirtualPlatform &vp, Handle) { return vp.ModuleLoad("WSOCK32.DLL") != kNoHandle; }},
  };
  for (const Case &c : cases) {
    VirtualPlatform vp;
    const Handle port = vp.ComOpen("COM1");
    vp.Fail(c.call, 3);
    EXPECT_TRUE(c.run(vp, port)) << static_cast<int>(c.call);
    EXPECT_TRUE(c.run(vp, port)) << static_cast<int>(c.call);
    EXPECT_FALSE(c.run(vp, port)) << static_cast<int>(c.call);
    EXPECT_TRUE(c.run(vp, port)) << static_cast<int>(c.call);
    const auto events = vp.LogOf(c.call);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_TRUE(events[2].failed);
    EXPECT_FALSE(events[3].failed);
  }
}

TEST(VirtualFaults, FailedWritesSendNothing) {
  VirtualPlatform vp;
  TimedSerial peer;
  vp.AttachSerial(&peer);
  const Handle port = vp.ComOpen("COM1");
  vp.FailWriteFile(true);
  uint32_t written = 5;
  EXPECT_FALSE(vp.ComWrite(port, "abc", 3, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_FALSE(vp.ComTransmitChar(port, 'x'));
  EXPECT_EQ(vp.Written(), "");
  EXPECT_TRUE(peer.got_.empty());
  vp.FailWriteFile(false);
  EXPECT_TRUE(vp.ComWrite(port, "abc", 3, &written));
  EXPECT_EQ(vp.Written(), "abc");

  vp.Fail(Call::ComOpen);
  EXPECT_EQ(vp.ComOpen("COM2"), kInvalidHandle);
  vp.Fail(Call::ComClose);
  EXPECT_FALSE(vp.ComClose(port));
}

// ---- Modules --------------------------------------------------------------------------------

TEST(VirtualModules, PresenceLoadabilityAndSymbols) {
  VirtualPlatform vp;
  EXPECT_TRUE(vp.ModuleOnSearchPath("wsock32.dll"));
  EXPECT_TRUE(vp.ModuleOnSearchPath("KOV74C.DLL"));
  EXPECT_FALSE(vp.ModuleOnSearchPath("OTHER.DLL"));
  const Handle ws = vp.ModuleLoad("WSOCK32.DLL");
  ASSERT_NE(ws, kNoHandle);
  for (const char *name : kWinSockEntryNames) EXPECT_NE(vp.ModuleSymbol(ws, name), nullptr);
  EXPECT_EQ(vp.ModuleSymbol(ws, "Kov74Open"), nullptr);
  vp.RemoveSymbol("sendto");
  EXPECT_EQ(vp.ModuleSymbol(ws, "sendto"), nullptr);
  EXPECT_TRUE(vp.ModuleFree(ws));
  EXPECT_EQ(vp.ModuleSymbol(ws, "recv"), nullptr);  // no longer loaded
  EXPECT_FALSE(vp.ModuleFree(ws));

  vp.SetModulePresent("KOV74C.DLL", false);
  EXPECT_FALSE(vp.ModuleOnSearchPath("KOV74C.DLL"));
  EXPECT_EQ(vp.ModuleLoad("KOV74C.DLL"), kNoHandle);
  vp.SetModulePresent("KOV74C.DLL", true);
  vp.SetModuleLoadable("KOV74C.DLL", false);
  EXPECT_TRUE(vp.ModuleOnSearchPath("KOV74C.DLL"));
  EXPECT_EQ(vp.ModuleLoad("KOV74C.DLL"), kNoHandle);

  uint32_t ms = 0, ls = 0;
  EXPECT_FALSE(vp.FileVersion("VELDC.DLL", &ms, &ls));
  vp.SetFileVersion("veldc.dll", 0x00020003, 0x00040005);
  ASSERT_TRUE(vp.FileVersion("VELDC.DLL", &ms, &ls));
  EXPECT_EQ(ms, 0x00020003u);
  EXPECT_EQ(ls, 0x00040005u);
}

class RecordingKov74 : public Kov74Peer {
 public:
  int Open(int port, int mode, int c254, int option) override {
    args = {port, mode, c254, option};
    return 3;
  }
  int SetSpeed(int code) override { return code == 9 ? -1 : 0; }
  int Close() override { return -255; }
  int Poll(int address, char *record, Micros now) override {
    if (now < 5000) return 0;
    record[0] = static_cast<char>(address);
    std::strcpy(record + 1, "OK");
    return 2;
  }
  int Send(int, const char *text, Micros) override { return std::strlen(text) > 120 ? 1 : 0; }
  std::vector<int> args;
};

TEST(VirtualModules, Kov74EntriesReachThePeer) {
  VirtualPlatform vp;
  RecordingKov74 peer;
  vp.SetKov74(&peer);
  const Handle h = vp.ModuleLoad("KOV74C.DLL");
  auto open = reinterpret_cast<Kov74OpenFn>(vp.ModuleEntry(h, 1, "Kov74Open"));
  auto speed = reinterpret_cast<Kov74SetSpeedFn>(vp.ModuleEntry(h, 3, "Kov74SetSpeed"));
  auto close = reinterpret_cast<Kov74CloseFn>(vp.ModuleEntry(h, 5, "Kov74Close"));
  auto poll = reinterpret_cast<Kov74PollFn>(vp.ModuleEntry(h, 7, "Kov74Poll"));
  auto send = reinterpret_cast<Kov74SendFn>(vp.ModuleEntry(h, 9, "Kov74Send"));
  ASSERT_TRUE(open && speed && close && poll && send);
  EXPECT_EQ(open(2, 1, 254, -1), 3);
  EXPECT_EQ(peer.args, (std::vector<int>{2, 1, 254, -1}));
  EXPECT_EQ(speed(9), -1);
  EXPECT_EQ(close(), -255);
  char record[136] = {};
  EXPECT_EQ(poll(7, record), 0);
  vp.Advance(5000);
  EXPECT_EQ(poll(7, record), 2);
  EXPECT_EQ(vp.LogOf(Call::Kov74Poll).back().text, std::string("\x07OK"));
  EXPECT_EQ(send(7, "DIR"), 0);
  EXPECT_EQ(vp.LogOf(Call::Kov74Send).back().text, "DIR");

  vp.Fail(Call::Kov74Send, 1, 5);
  EXPECT_EQ(send(7, "DIR"), 5);
  vp.Fail(Call::Kov74Open, 1, -4);
  EXPECT_EQ(open(1, 0, 254, 0), -4);
  vp.RemoveSymbol("Kov74Poll");
  EXPECT_EQ(vp.ModuleEntry(h, 7, "Kov74Poll"), nullptr);
}

// ---- WinSock --------------------------------------------------------------------------------

class VirtualWinSock : public ::testing::Test {
 protected:
  void SetUp() override {
    vp_.AttachAdapter(&adapter_);
    const Handle h = vp_.ModuleLoad("WSOCK32.DLL");
    void **slots = reinterpret_cast<void **>(&ws_);
    for (int i = 0; i < kWinSockEntryCount; ++i) {
      slots[i] = vp_.ModuleSymbol(h, kWinSockEntryNames[i]);
    }
  }
  // Startup, socket, bind, connect to 127.0.0.2:1024, non-blocking.
  WsSocket Open() {
    WsData data;
    EXPECT_EQ(ws_.WSAStartup(0x0101, &data), 0);
    const WsSocket s = ws_.socket(2, 2, 0);
    WsSockAddrIn local{2, ws_.htons(1024), 0, {}};
    EXPECT_EQ(ws_.bind(s, &local, sizeof(local)), 0);
    WsSockAddrIn far{2, ws_.htons(1024), ws_.inet_addr("127.0.0.2"), {}};
    EXPECT_EQ(ws_.connect(s, &far, sizeof(far)), 0);
    uint32_t on = 1;
    EXPECT_EQ(ws_.ioctlsocket(s, kWsFionbio, &on), 0);
    return s;
  }
  VirtualPlatform vp_;
  TimedAdapter adapter_;
  WinSockTable ws_{};
};

TEST_F(VirtualWinSock, RecvWouldBlockTruncatesAndDelivers) {
  const WsSocket s = Open();
  EXPECT_EQ(vp_.ConnectedAddress(), 0x7F000002u);
  EXPECT_EQ(vp_.BoundPort(), 1024);
  EXPECT_TRUE(vp_.SocketNonBlocking());
  char buf[8];
  EXPECT_EQ(ws_.recv(s, buf, sizeof(buf), 0), -1);
  EXPECT_EQ(ws_.WSAGetLastError(), kWsaEWouldBlock);

  adapter_.SendAt(2000, "0123456789");
  adapter_.SendAt(2000, "01234567");
  adapter_.SendAt(2000, "abc");
  vp_.Advance(1999);
  EXPECT_EQ(ws_.recv(s, buf, sizeof(buf), 0), -1);
  EXPECT_EQ(ws_.WSAGetLastError(), kWsaEWouldBlock);
  vp_.Advance(1);
  std::memset(buf, 0, sizeof(buf));
  EXPECT_EQ(ws_.recv(s, buf, sizeof(buf), 0), -1);
  EXPECT_EQ(ws_.WSAGetLastError(), kWsaEMsgSize);
  EXPECT_EQ(std::string(buf, 8), "01234567");      // first bytes kept, rest lost
  EXPECT_EQ(ws_.recv(s, buf, sizeof(buf), 0), 8);  // an exact fit is no truncation
  EXPECT_EQ(ws_.recv(s, buf, sizeof(buf), 0), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");

  EXPECT_EQ(ws_.send(s, "hi\0x", 4, 0), 4);
  ASSERT_EQ(adapter_.got_.size(), 1u);
  EXPECT_EQ(adapter_.got_[0].second, std::string("hi\0x", 4));
  EXPECT_EQ(vp_.SentDatagrams(), adapter_.got_);
  EXPECT_EQ(ws_.closesocket(s), 0);
  EXPECT_FALSE(vp_.SocketOpen());
  EXPECT_EQ(ws_.WSACleanup(), 0);
}

TEST_F(VirtualWinSock, ErrorNumbers) {
  // Before WSAStartup.
  EXPECT_EQ(ws_.socket(2, 2, 0), kWsInvalidSocket);
  EXPECT_EQ(ws_.WSAGetLastError(), 10093);

  const WsSocket s = Open();
  struct Case {
    const char *what;
    int (*run)(WinSockTable &, WsSocket);
    int error;
  };
  const Case cases[] = {
      {"second socket",
       [](WinSockTable &ws, WsSocket) { return ws.socket(2, 2, 0) == kWsInvalidSocket ? -1 : 0; },
       10024},
      {"ioctl other command",
       [](WinSockTable &ws, WsSocket s) {
         uint32_t arg = 1;
         return ws.ioctlsocket(s, 0x4004667F, &arg);
       },
       10022},
      {"bind twice",
       [](WinSockTable &ws, WsSocket s) {
         WsSockAddrIn a{2, ws.htons(9), 0, {}};
         return ws.bind(s, &a, sizeof(a));
       },
       10022},
      {"bind short name",
       [](WinSockTable &ws, WsSocket s) {
         WsSockAddrIn a{2, ws.htons(9), 0, {}};
         return ws.bind(s, &a, 8);
       },
       10014},
      {"recv bad socket",
       [](WinSockTable &ws, WsSocket s) {
         char b[4];
         return ws.recv(s + 1, b, 4, 0);
       },
       kWsaENotSock},
      {"close bad socket", [](WinSockTable &ws, WsSocket s) { return ws.closesocket(s + 1); },
       kWsaENotSock},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.run(ws_, s), -1) << c.what;
    EXPECT_EQ(ws_.WSAGetLastError(), c.error) << c.what;
  }

  char buf[4];
  vp_.Fail(Call::WsSend, 1, 10055);
  EXPECT_EQ(ws_.send(s, "x", 1, 0), -1);
  EXPECT_EQ(ws_.WSAGetLastError(), 10055);
  vp_.Fail(Call::WsRecv);
  EXPECT_EQ(ws_.recv(s, buf, 4, 0), -1);
  EXPECT_EQ(ws_.WSAGetLastError(), 10050);
  EXPECT_TRUE(adapter_.got_.empty());
  EXPECT_EQ(ws_.closesocket(s), 0);

  // A fresh unconnected socket cannot send.
  const WsSocket t = ws_.socket(2, 2, 0);
  EXPECT_EQ(ws_.send(t, "x", 1, 0), -1);
  EXPECT_EQ(ws_.WSAGetLastError(), 10057);
}

TEST_F(VirtualWinSock, StartupResultsAndHostNames) {
  WsData data;
  vp_.SetWsaVersion(0x0002);
  EXPECT_EQ(ws_.WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0002);
  vp_.SetStartupResult(10092);
  EXPECT_EQ(ws_.WSAStartup(0x0101, &data), 10092);
  vp_.SetStartupResult(0);
  vp_.Fail(Call::WsStartup);
  EXPECT_NE(ws_.WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(vp_.StartupCount(), 1);

  char name[128];
  vp_.SetHostName("pc7");
  vp_.SetHostAddress("pc7", 0xC0A80107u);
  ASSERT_EQ(ws_.gethostname(name, sizeof(name)), 0);
  EXPECT_STREQ(name, "pc7");
  EXPECT_EQ(ws_.gethostname(name, 3), -1);  // no room for the NUL
  EXPECT_EQ(ws_.WSAGetLastError(), 10014);
  WsHostEnt *h = ws_.gethostbyname("pc7");
  ASSERT_NE(h, nullptr);
  uint32_t address;
  std::memcpy(&address, h->h_addr_list[0], 4);
  EXPECT_STREQ(ws_.inet_ntoa(address), "192.168.1.7");
  EXPECT_EQ(h->h_addr_list[1], nullptr);
  EXPECT_EQ(ws_.gethostbyname("nowhere"), nullptr);
  EXPECT_EQ(ws_.WSAGetLastError(), 11001);
}

TEST(WinSockText, InetAddrReadsLikeWinSock) {
  struct Case {
    const char *text;
    uint32_t host;  // host order; 0xFFFFFFFF: refused
  };
  const Case cases[] = {
      {"127.0.0.1", 0x7F000001},
      {"192.168.1.200", 0xC0A801C8},
      {"0x7f.1", 0x7F000001},
      {"0177.0.0.01", 0x7F000001},
      {"127.1", 0x7F000001},
      {"10.1.258", 0x0A010102},
      {"167772161", 0x0A000001},
      {"0", 0},
      {"1.2.3.4 junk", 0x01020304},
      {"1.2.3.256", 0xFFFFFFFF},
      {"255.255.255.255", 0xFFFFFFFF},
      {"", 0xFFFFFFFF},
      {"1.2.3.4.5", 0xFFFFFFFF},
      {"1..2", 0xFFFFFFFF},
      {"0x", 0xFFFFFFFF},
      {"09", 0xFFFFFFFF},
      {"4294967296", 0xFFFFFFFF},
      {"1.2.3.", 0xFFFFFFFF},
      {"abc", 0xFFFFFFFF},
      {"1.2.3.4x", 0xFFFFFFFF},
      {"1.16777216", 0xFFFFFFFF},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(WsInetAddr(c.text), WsHtonl(c.host)) << '"' << c.text << '"';
  }
  EXPECT_EQ(WsInetAddr(nullptr), kWsInaddrNone);

  char out[16];
  EXPECT_STREQ(WsInetNtoa(WsInetAddr("0x7f.1"), out), "127.0.0.1");
  EXPECT_STREQ(WsInetNtoa(WsHtonl(0xFFFFFFFF), out), "255.255.255.255");
  const uint16_t port = WsHtons(0x1234);
  const uint32_t word = WsHtonl(0x01020304);
  EXPECT_EQ(std::memcmp(&port, "\x12\x34", 2), 0);
  EXPECT_EQ(std::memcmp(&word, "\x01\x02\x03\x04", 4), 0);
}

// ---- Files, meters and the log --------------------------------------------------------------

TEST(VirtualLog, MetersFilesAndInstants) {
  VirtualPlatform vp;
  vp.Advance(700);
  const Handle m = vp.MeterCreate(vp.SelfModule(), 111);
  ASSERT_NE(m, kNoHandle);
  vp.MeterSetItemText(m, 1001, "COM1");
  vp.MeterSendProgress(m, 40, 100);
  vp.MeterDestroy(m);
  EXPECT_EQ(vp.OpenMeterCount(), 0);
  const auto text = vp.LogOf(Call::MeterSetItemText);
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(text[0].at, 700u);
  EXPECT_EQ(text[0].a, 1001);
  EXPECT_EQ(text[0].text, "COM1");
  EXPECT_EQ(vp.LogOf(Call::MeterSendProgress)[0].b, 100);

  const std::string path = ::testing::TempDir() + "veldc_virtual_file.txt";
  vp.Fail(Call::FileCreate);
  EXPECT_EQ(vp.FileCreate(path.c_str()), kInvalidHandle);
  const Handle f = vp.FileCreate(path.c_str());
  ASSERT_NE(f, kInvalidHandle);
  vp.Fail(Call::FileWrite, 2);
  EXPECT_TRUE(vp.FileWrite(f, "line\r\n", 6));
  EXPECT_FALSE(vp.FileWrite(f, "more", 4));
  EXPECT_TRUE(vp.FileClose(f));
  const Handle r = vp.FileOpenRead(path.c_str());
  ASSERT_NE(r, kInvalidHandle);
  EXPECT_EQ(vp.FileSize(r), 6u);
  char buf[16];
  uint32_t got = 0;
  EXPECT_TRUE(vp.FileRead(r, buf, sizeof(buf), &got));
  EXPECT_EQ(std::string(buf, got), "line\r\n");
  EXPECT_TRUE(vp.FileClose(r));
  EXPECT_TRUE(vp.FileDelete(path.c_str()));
  EXPECT_EQ(vp.FileOpenRead(path.c_str()), kInvalidHandle);
  EXPECT_TRUE(vp.LogOf(Call::FileOpenRead).back().failed);
}

}  // namespace
}  // namespace veldc::platform::virt
