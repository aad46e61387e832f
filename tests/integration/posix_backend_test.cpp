// The POSIX backend on real descriptors: its port, file and module calls on a real pty and real
// files, and the built-in WinSock table over UDP loopback; every system call failed in turn.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/serial_settings.h"
#include "platform/posix/sys_calls.h"
#include "platform/posix/winsock_table.h"
#include "veldc.h"

namespace veldc::platform {
namespace {

using posix::SysCall;
using Clock = std::chrono::steady_clock;

struct Injection {
  std::vector<SysCall> calls;  // as made, failed ones included
  SysCall call = SysCall::open;
  int occurrence = 0, error = 0, seen = 0;
} injection;

int Hook(SysCall call) {
  injection.calls.push_back(call);
  const bool hit =
      injection.error != 0 && call == injection.call && ++injection.seen == injection.occurrence;
  return hit ? injection.error : 0;
}

// The descriptors open now (the listing's own too: the lowest free one, the same each time).
std::set<std::string> OpenFds() {
  std::set<std::string> fds;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) fds.insert(e.path());
  return fds;
}

// An IPv4 address as the system's or the table's structure (the same bytes).
template <typename Address = WsSockAddrIn>
Address Loopback(const char *address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = ::inet_addr(address);
  Address copy;
  std::memcpy(&copy, &a, sizeof copy);
  return copy;
}

// A test socket bound to `a` (port 0: any), sharing the port when `shared`; its port.
int Bound(sockaddr_in a, bool shared, uint16_t *port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int on = shared ? 1 : 0;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t length = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0) {
    ADD_FAILURE() << "test socket: " << std::strerror(errno);
  }
  *port = ntohs(a.sin_port);
  return fd;
}

const std::string kFrame("\002001DIR\r\n\000\377", 11);  // STX, NUL and 0xFF too

class SysCallFailures : public ::testing::Test {
 public:
  void SetUp() override {
    char name[128];
    ASSERT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
    pty_ = name;
    file_ = ::testing::TempDir() + "veldc-syscalls.txt";
    const Handle module = os_.ModuleLoad("wsock32.dll");
    void **slots = reinterpret_cast<void **>(&ws_);
    for (int i = 0; i < kWinSockEntryCount; ++i)
      slots[i] = os_.ModuleSymbol(module, kWinSockEntryNames[i]);
    peer_ = Bound(Loopback<sockaddr_in>("127.0.0.1", 0), false, &peerPort_);
    ::close(Bound(Loopback<sockaddr_in>("127.0.0.1", 0), false, &closedPort_));
    // A stand-in adapter on 127.0.0.2 that shares its port, as veldc-sim --pelo does.
    standIn_ = Bound(Loopback<sockaddr_in>("127.0.0.2", 0), true, &standInPort_);
    // A host without standard input (a daemon): each new descriptor of the backend is 0 first.
    stdin_ = ::dup(0);
    ::close(0);
  }
  void TearDown() override {
    ::dup2(stdin_, 0);
    for (int fd : {master_, slave_, peer_, standIn_, stdin_}) ::close(fd);
  }

  bool Socket(WsSocket *s, const WsSockAddrIn &local, const WsSockAddrIn *far) {
    uint32_t on = far != nullptr ? 1 : 0;
    *s = ws_.socket(AF_INET, SOCK_DGRAM, 0);
    return *s != kWsInvalidSocket && ws_.bind(*s, &local, sizeof local) == 0 &&
           ws_.ioctlsocket(*s, kWsFionbio, &on) == 0 &&
           (far == nullptr || ws_.connect(*s, far, sizeof *far) == 0);
  }
  // Reads one datagram of the table's socket, waiting up to a second as the library does.
  std::string Recv(WsSocket s) {
    char buffer[64];
    int n = kWsSocketError;
    for (int i = 0; i < 10 && n < 0 && (i == 0 || ws_.WSAGetLastError() == kWsaEWouldBlock); ++i) {
      os_.SocketWaitInput(s, 100);
      n = ws_.recv(s, buffer, sizeof buffer, 0);
    }
    return n >= 0 ? std::string(buffer, static_cast<size_t>(n))
                  : "#" + std::to_string(ws_.WSAGetLastError());
  }

  // The operations: true on success, with what they produced.
  bool Port(std::string *out);
  bool Files(std::string *out);
  bool Datagrams(std::string *out);
  bool Names(std::string *out);

  Platform &os_ = NativePlatform();
  WinSockTable ws_{};
  int master_ = -1, slave_ = -1, peer_ = -1, standIn_ = -1, stdin_ = -1;
  uint16_t peerPort_ = 0, closedPort_ = 0, standInPort_ = 0;
  std::string pty_, file_;
};

// Held as none of the standard streams; the settings reach the line, a rate termios lacks is
// refused and leaves it as it was. A one-byte read takes in what the line holds and the rest is
// there for the next read at once, until a purge drops it; an empty line reads at once; a frame
// goes out as it is (NUL and 0xFF too) and "OK\r" comes in unchanged; a woken wait ends at once; a
// megabyte nobody reads ends at its write time-out.
bool SysCallFailures::Port(std::string *out) {
  ::tcflush(slave_, TCIOFLUSH);  // nothing left of an earlier run
  const Handle port = os_.ComOpen(pty_.c_str());
  if (port == kInvalidHandle) return false;
  ComState state;
  uint32_t mask = 1, written = 0;
  char buffer[8];
  int queued = 0;
  const auto take = [&](size_t count, uint32_t chunk) {
    for (int i = 0; i < 20 && out->size() < count; ++i) {
      os_.ComWaitInput(port, 100);
      out->append(buffer, os_.ComRead(port, buffer, chunk));
    }
    return out->size() >= count;
  };
  termios t{};
  bool ok = port > 2 && os_.ComSetupQueues(port, 4096, 4096) && os_.ComGetState(port, &state);
  state.BaudRate = 115200;
  ok = ok && os_.ComSetState(port, state) && ::tcgetattr(slave_, &t) == 0 &&
       cfgetospeed(&t) == B115200 && cfgetispeed(&t) == B115200 && (t.c_lflag & ICANON) == 0;
  state.BaudRate = 12345;
  ok = ok && !os_.ComSetState(port, state) && os_.ComGetState(port, &state) &&
       state.BaudRate == 115200 && ::write(master_, "stale", 5) == 5;
  for (int i = 0; ok && i < 200 && ::ioctl(slave_, FIONREAD, &queued) == 0 && queued < 5; ++i)
    ::usleep(1000);
  ok = ok && take(1, 1) && os_.ComWaitInput(port, 0) && take(2, 1) && *out == "st" &&
       os_.ComPurge(port, kPurgeRxClear | kPurgeTxClear) && os_.ComPurge(port, 0) &&
       os_.ComClearError(port, &mask) && mask == 0 && os_.ComClearError(port, nullptr) &&
       os_.ComRead(port, buffer, sizeof buffer) == 0 &&
       os_.ComWrite(port, kFrame.data(), kFrame.size(), &written) && written == kFrame.size() &&
       os_.ComTransmitChar(port, '\x13');
  if (ok && ::write(master_, "OK\r", 3) == 3) {
    os_.WakeWaits();  // the first wait ends at once, woken
    out->clear();
    ok = take(3, sizeof buffer) && *out == "OK\r";
    ComTimeouts limit;
    limit.WriteTotalTimeoutConstant = 50;
    const std::vector<char> flood(1 << 20, 'F');
    ok = ok && os_.ComSetTimeouts(port, limit) &&
         !os_.ComWrite(port, flood.data(), 1 << 20, &written) && written < flood.size() &&
         LastOsFailure().number == ETIMEDOUT;
  }
  ok = os_.ComClose(port) && ok;
  std::vector<char> heard(1 << 16);
  for (ssize_t n = 1; n > 0;
       out->append(heard.data(), static_cast<size_t>(std::max<ssize_t>(0, n))))
    n = ::read(master_, heard.data(), heard.size());
  *out = out->substr(0, 3 + kFrame.size() + 3);
  return ok;
}

// Written while a second open and a second create are refused (the content left whole),
// read to its end while a second reader is refused, created again empty, deleted once.
bool SysCallFailures::Files(std::string *out) {
  const char *path = file_.c_str();
  Handle f = os_.FileCreate(path);
  if (f == kInvalidHandle) return false;
  bool ok = os_.FileWrite(f, "R1\r\nR2\r\n", 8) && os_.FileOpenRead(path) == kInvalidHandle &&
            os_.FileCreate(path) == kInvalidHandle;
  if (!os_.FileClose(f) || !ok || (f = os_.FileOpenRead(path)) == kInvalidHandle) {
    ::unlink(path);
    return false;
  }
  char buffer[16];
  uint32_t got = 0;
  ok = os_.FileOpenRead(path) == kInvalidHandle && os_.FileSize(f) == 8 &&
       os_.FileRead(f, buffer, sizeof buffer, &got) && os_.FileRead(f, buffer, 1, nullptr);
  out->assign(buffer, got);
  ok = os_.FileClose(f) && ok && (f = os_.FileCreate(path)) != kInvalidHandle;
  const bool empty = ok && os_.FileSize(f) == 0;
  ok = ok && os_.FileClose(f) && empty;
  if (os_.FileDelete(path)) return ok && !os_.FileDelete(path);
  ::unlink(path);
  return false;
}

// Out and back to a peer; then a port held only on 127.0.0.2 joined; then a refusal: the
// second send goes out once the refusal is taken, the read reports it as a reset.
bool SysCallFailures::Datagrams(std::string *out) {
  WsSocket s = kWsInvalidSocket;
  const auto closed = [&](bool ok) {
    return (s == kWsInvalidSocket || ws_.closesocket(s) == 0) && ok;
  };
  const WsSockAddrIn peer = Loopback("127.0.0.1", peerPort_);
  bool ok = Socket(&s, Loopback("127.0.0.1", 0), &peer) && ws_.send(s, "hi", 2, 0) == 2;
  sockaddr_in from{};
  socklen_t length = sizeof from;
  char buffer[16];
  if (ok && ::recvfrom(peer_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from),
                       &length) == 2) {
    ::sendto(peer_, "ho", 2, 0, reinterpret_cast<sockaddr *>(&from), length);
    *out = std::string(buffer, 2) + Recv(s) + "|";
    ok = *out == "hiho|" && ws_.sendto(s, "to", 2, 0, &peer, sizeof peer) == 2 &&
         ::recv(peer_, buffer, sizeof buffer, 0) == 2;
  }
  if (!closed(ok) || !closed(Socket(&s, Loopback("0.0.0.0", standInPort_), nullptr))) return false;
  const WsSockAddrIn gone = Loopback("127.0.0.1", closedPort_);
  ok = Socket(&s, Loopback("127.0.0.1", 0), &gone) && ws_.send(s, "1", 1, 0) == 1 &&
       (os_.SocketWaitInput(s, 200), ws_.send(s, "2", 1, 0) == 1) && Recv(s) == "#10054";
  return closed(ok);
}

bool SysCallFailures::Names(std::string *out) {
  os_.SleepMs(1);
  char own[256];
  const WsHostEnt *local = ws_.gethostbyname("localhost");
  if (local != nullptr) *out = ws_.inet_ntoa(*reinterpret_cast<uint32_t *>(local->h_addr_list[0]));
  *out = out->substr(0, 4);
  return local != nullptr && ws_.gethostname(own, sizeof own) == 0 &&
         ws_.gethostbyname(own) != nullptr;
}

// Each operation runs once, its output checked and its calls recorded; then once for each
// (call, occurrence) of that run, the call failing with EIO and EINTR (EAGAIN for a read or
// write, ECONNREFUSED for a send). Each outcome must be the good run's, or a failure whose cause
// is named: the errno noted for GetErrorDetail, or WSAGetLastError's number for it. No
// descriptor may be left open.
TEST_F(SysCallFailures, EveryCallOfEveryOperationFailedInTurn) {
  // Besides the errno injected, a failure may name the operation's own cause: a port whose
  // probe failed is taken as held (10048), a name without addresses is not found (11001).
  const struct {
    const char *name;
    bool (SysCallFailures::*operation)(std::string *);
    int ownCause;
    std::string good;
  } operations[] = {{"port", &SysCallFailures::Port, 0, "OK\r" + kFrame + "\x13" + "FF"},
                    {"files", &SysCallFailures::Files, 0, "R1\r\nR2\r\n"},
                    {"datagrams", &SysCallFailures::Datagrams, 10048, "hiho|"},
                    {"names", &SysCallFailures::Names, 11001, "127."}};
  posix::sysHook = Hook;
  for (const auto &[name, operation, ownCause, good] : operations) {
    injection = Injection{};
    std::string got;
    const auto start = Clock::now();
    ASSERT_TRUE((this->*operation)(&got)) << name << " fails unhindered";
    // Nothing blocks: the port's run is its 50 ms write time-out and little more.
    const auto ms = (Clock::now() - start) / std::chrono::milliseconds(1);
    EXPECT_TRUE(ms < 1500 && ms >= (std::string(name) == "port" ? 50 : 0)) << name << " " << ms;
    EXPECT_EQ(got, good) << name;
    std::map<SysCall, int> counts;
    for (SysCall call : injection.calls) ++counts[call];
    for (const auto &[call, count] : counts) {
      for (int occurrence = 1; occurrence <= std::min(count, 3); ++occurrence) {
        // Beyond EIO and EINTR: a port's read or write that must wait, a send that meets a refusal.
        const int own = call == SysCall::write || call == SysCall::read ? EAGAIN
                        : call == SysCall::send                         ? ECONNREFUSED
                                                                        : 0;
        for (int error : {EIO, EINTR, own}) {
          if (error == 0) continue;
          SCOPED_TRACE(::testing::Message()
                       << name << ": " << posix::kSysCallNames[static_cast<int>(call)] << " #"
                       << occurrence << " " << std::strerror(error));
          uint32_t none = 0;
          ws_.ioctlsocket(kWsInvalidSocket, 0, &none);  // WSAGetLastError: 10022
          LastOsFailure() = OsFailure{};
          const std::set<std::string> before = OpenFds();
          injection = Injection{{}, call, occurrence, error};
          got.clear();
          if ((this->*operation)(&got)) {
            EXPECT_EQ(got, good) << "success, but not the good run's";
          } else {
            const int wsa = ws_.WSAGetLastError();
            EXPECT_TRUE(LastOsFailure().number == error || wsa == posix::WinSockErrorFor(error) ||
                        (ownCause != 0 && wsa == ownCause))
                << "failed without its cause (noted " << LastOsFailure().number << ", WinSock "
                << wsa << ")";
          }
          EXPECT_EQ(OpenFds(), before) << "descriptors left open";
        }
      }
    }
  }
  posix::sysHook = nullptr;
}

// Pauses and sleeps cost no CPU and give back the thread's timer slack; a line whose other end
// vanished ends a wait at once and reads as an I/O error.
TEST_F(SysCallFailures, PausesSleepAndAVanishedLineEndsTheWait) {
  using std::chrono::milliseconds;
  timespec cpu0, cpu1;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  ASSERT_EQ(::prctl(PR_SET_TIMERSLACK, 123456UL, 0, 0, 0), 0);
  auto start = Clock::now();
  os_.PauseUntil(os_.PerfCounter() + 20000000);
  os_.SleepMs(30);
  const auto took = Clock::now() - start;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 123456);
  ::prctl(PR_SET_TIMERSLACK, 0UL, 0, 0, 0);
  EXPECT_TRUE(took >= milliseconds(50) && took < milliseconds(600)) << took / milliseconds(1);
  EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1000000000 + (cpu1.tv_nsec - cpu0.tv_nsec), 5000000);
  const Handle port = os_.ComOpen(pty_.c_str());
  ASSERT_NE(port, kInvalidHandle);
  std::thread vanish([this] {
    std::this_thread::sleep_for(milliseconds(50));
    ::close(master_), master_ = -1;
  });
  start = Clock::now();
  os_.ComWaitInput(port, 5000);
  vanish.join();
  EXPECT_LT(Clock::now() - start, milliseconds(2000));
  uint32_t mask = 0;
  EXPECT_TRUE(os_.ComClearError(port, &mask) && mask == kCommIoError) << mask;
  os_.ComClose(port);
}

// What is refused, with the number a host reads for it. The rows before kAsked are refused on
// their arguments alone and must ask the system nothing; the rest are calls on a descriptor
// that is no socket (a pipe) or none, and what the system refuses. Each number is read before
// the next call.
TEST_F(SysCallFailures, RefusalsAndTheirNumbers) {
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const WsSocket pipeEnd = static_cast<WsSocket>(pipe[0]), none = ~WsSocket{0};
  const WsSockAddrIn to = Loopback("127.0.0.1", peerPort_), local = Loopback("127.0.0.1", 0);
  WsSocket s = kWsInvalidSocket;
  ASSERT_TRUE(Socket(&s, local, &to));
  const WsSocket unconnected = ws_.socket(AF_INET, SOCK_DGRAM, 0);
  char text[256];
  int selection[VELDC_PARAM_COUNT] = {1};
  uint32_t on = 1;
  // A WinSock call's number, or a library call's error code; 0 for a call that was not refused.
  const auto wsa = [&](intptr_t r) { return r == kWsSocketError ? ws_.WSAGetLastError() : 0; };
  const auto code = [&](int r) { return r == -1 ? GetError(text) : 0; };
  const auto host = [&](const void *p) { return wsa(p == nullptr ? -1 : 0); };
  const struct {
    const char *what;
    std::function<int()> number;
    int expected;
  } rows[] = {
      {"recv negative length", [&] { return wsa(ws_.recv(s, text, -1, 0)); }, 10014},
      {"recv null buffer", [&] { return wsa(ws_.recv(s, nullptr, 4, 0)); }, 10014},
      {"send null buffer", [&] { return wsa(ws_.send(s, nullptr, 4, 0)); }, 10014},
      {"sendto null buffer", [&] { return wsa(ws_.sendto(s, nullptr, 4, 0, &to, 16)); }, 10014},
      {"sendto no address", [&] { return wsa(ws_.sendto(s, "x", 1, 0, nullptr, 16)); }, 10014},
      {"sendto short address", [&] { return wsa(ws_.sendto(s, "x", 1, 0, &to, 8)); }, 10014},
      {"ioctl null argument", [&] { return wsa(ws_.ioctlsocket(s, kWsFionbio, nullptr)); }, 10014},
      {"connect null name", [&] { return wsa(ws_.connect(s, nullptr, 16)); }, 10014},
      {"connect short name", [&] { return wsa(ws_.connect(s, &to, 4)); }, 10014},
      {"bind null name", [&] { return wsa(ws_.bind(s, nullptr, 16)); }, 10014},
      {"bind short name", [&] { return wsa(ws_.bind(s, &local, 4)); }, 10014},
      {"no host name", [&] { return host(ws_.gethostbyname(nullptr)); }, 10014},
      {"no name buffer", [&] { return wsa(ws_.gethostname(nullptr, 8)); }, 10014},
      {"startup without data", [&] { return ws_.WSAStartup(0x0101, nullptr); }, 10014},
      {"no values", [&] { return code(GetAllParams(selection, nullptr)); }, 3},
      {"no selection", [&] { return code(SetAllParams(nullptr, text)); }, 3},
      {"recv nothing waiting", [&] { return wsa(ws_.recv(s, text, 4, 0)); }, kWsaEWouldBlock},
      {"ioctl no socket", [&] { return wsa(ws_.ioctlsocket(none, kWsFionbio, &on)); }, 10038},
      {"connect a pipe", [&] { return wsa(ws_.connect(pipeEnd, &to, sizeof to)); }, 10038},
      // No buffer for no bytes is no fault: the call goes on to the socket, here none.
      {"recv no bytes", [&] { return wsa(ws_.recv(none, nullptr, 0, 0)); }, 10038},
      {"send no bytes", [&] { return wsa(ws_.send(none, nullptr, 0, 0)); }, 10038},
      {"sendto no bytes", [&] { return wsa(ws_.sendto(none, nullptr, 0, 0, &to, 16)); }, 10038},
      {"close a pipe", [&] { return wsa(ws_.closesocket(pipeEnd)); }, 10038},
      {"ioctl other command", [&] { return wsa(ws_.ioctlsocket(s, 0x4004667F, &on)); }, 10022},
      {"bind twice", [&] { return wsa(ws_.bind(s, &local, sizeof local)); }, 10022},
      {"send unconnected", [&] { return wsa(ws_.send(unconnected, "x", 1, 0)); }, 10057},
      {"close twice",
       [&] { return wsa(ws_.closesocket(unconnected) + ws_.closesocket(unconnected)); }, 10038},
      {"unknown family", [&] { return wsa(ws_.socket(12345, SOCK_DGRAM, 0)); }, 10047},
      {"unknown host", [&] { return host(ws_.gethostbyname("no-such-host.invalid")); }, 11001},
      {"short host name", [&] { return wsa(ws_.gethostname(text, 1)); }, 10014},
  };
  constexpr size_t kAsked = 16;
  posix::sysHook = Hook;
  injection = Injection{};
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(rows[i].number(), rows[i].expected) << rows[i].what;
    EXPECT_TRUE(i + 1 != kAsked || injection.calls.empty()) << "system calls by row " << i;
  }
  posix::sysHook = nullptr;
  // Addresses in short forms, octal zero, no hex digits; a blank ends an address.
  EXPECT_TRUE(ws_.inet_addr("127.1") == htonl(0x7F000001) && ws_.inet_addr("0") == 0 &&
              ws_.inet_addr("0xfF.1.2.3") == htonl(0xFF010203));
  for (const char *blank : {" ", "\t", "\n", "\v", "\f", "\r"})
    EXPECT_EQ(ws_.inet_addr((std::string("1.2.3.4") + blank).c_str()), htonl(0x01020304));
  for (const char *a : {"0x", "1.16777216", "256.1.1", "1.256.1", "1.1.65536", "1.2.3.256"})
    EXPECT_EQ(ws_.inet_addr(a), kWsInaddrNone) << a;
  // Beyond the numbers: no bytes read nothing, unknown names load nothing.
  EXPECT_TRUE(os_.ComRead(slave_, text, 0) == 0 && posix::WinSockSymbol(nullptr) == nullptr &&
              os_.ModuleLoad("{") == kNoHandle);
  // A pause already due ends at once.
  const int64_t due = os_.PerfCounter();
  os_.PauseUntil(due);
  EXPECT_LT(os_.PerfCounter() - due, 50'000'000);
  // What a host sees of each system error: WinSock's own numbers.
  const std::pair<int, int> numbers[] = {
      {EMSGSIZE, 10040},     {EBADF, 10038},        {ENOTSOCK, 10038},      {EINVAL, 10022},
      {EACCES, 10013},       {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051},
      {EHOSTUNREACH, 10065}, {ECONNREFUSED, 10061}, {ECONNRESET, 10054},    {EISCONN, 10056},
      {ENOTCONN, 10057},     {EDESTADDRREQ, 10039}, {EAFNOSUPPORT, 10047},  {EMFILE, 10024},
      {ENOBUFS, 10055},      {EINTR, 10004},        {EFAULT, 10014},        {EIO, 10050},
      {EAGAIN, 10035}};
  for (const auto &[e, number] : numbers) EXPECT_EQ(posix::WinSockErrorFor(e), number) << e;
  // A cause noted without subject or text is handed out as the number alone.
  NoteOsFailure(nullptr, EIO, nullptr);
  EXPECT_TRUE(GetErrorDetail(text, sizeof text) == EIO && text[0] == '\0');
  ws_.closesocket(s);
  for (int fd : pipe) ::close(fd);
}

// Data bits and parity cannot be held by a pty, so the translation is checked directly (the raw
// line itself: the failure run's port, byte for byte).
TEST(SerialSettings, TranslationBothWays) {
  // Speed, data bits, parity and the flags of CSIZE | PARENB | PARODD (0: refused).
  const std::tuple<uint32_t, uint8_t, uint8_t, tcflag_t> cases[] = {
      {9600, 8, kNoParity, CS8},
      {19200, 7, kEvenParity, CS7 | PARENB},
      {38400, 7, kOddParity, CS7 | PARENB | PARODD},
      {57600, 8, kOddParity, CS8 | PARENB | PARODD},
      {9600, 6, kNoParity, 0},
      {9600, 8, 3, 0} /* mark parity */,
      {14400, 8, kNoParity, 0}};
  for (const auto &[baud, size, parity, cflags] : cases) {
    termios t{};
    t.c_cflag = CSTOPB | CRTSCTS | CS6;  // a line another program left at 6 bits
    const termios before = t;
    ComState s;
    std::tie(s.BaudRate, s.ByteSize, s.Parity, s.fOutX) =
        std::tuple(baud, size, parity, parity == kEvenParity);
    ASSERT_EQ(posix::ApplyComState(s, &t), cflags != 0) << baud << " " << int(size);
    const ComState back = posix::ReadComState(t);
    if (cflags == 0) {
      EXPECT_TRUE(std::memcmp(&t, &before, sizeof t) == 0 && back.ByteSize == 6) << "untouched";
      continue;
    }
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              cflags | CLOCAL | CREAD)
        << baud;
    EXPECT_TRUE((t.c_iflag & (IXON | IXOFF)) == (s.fOutX ? IXON : 0u) && back.BaudRate == baud &&
                back.ByteSize == size && back.Parity == parity && back.fOutX == s.fOutX)
        << "flow control and read back " << baud;
  }
}

// A handle that is none (0, -1, the standard streams, a closed descriptor) is refused by every
// call, and null out-pointers are not written: a stray handle must never reach stdin or a
// descriptor someone else now holds. Names of nothing open or load nothing.
TEST(PosixBackend, HandlesThatAreNoneAreRefusedModulesByName) {
  Platform &os = NativePlatform();
  const int closed = open("/dev/null", O_RDONLY);
  close(closed);
  char buf[8];
  uint32_t n = 7;
  ComState state;
  for (const Handle h : {kNoHandle, kInvalidHandle, Handle{1}, Handle{closed}}) {
    SCOPED_TRACE(h);
    EXPECT_FALSE(os.ComGetState(h, &state) || os.ComSetState(h, state) ||
                 os.ComSetTimeouts(h, ComTimeouts{}) || os.ComTransmitChar(h, 'x') ||
                 os.ComClose(h) || os.FileWrite(h, "x", 1) || os.FileClose(h));
    EXPECT_TRUE(!os.ComWrite(h, "x", 1, &n) && n == 0);
    EXPECT_EQ(os.ComRead(h, buf, sizeof buf), 0u);
    EXPECT_TRUE(!os.FileRead(h, buf, sizeof buf, &n) && n == 0 && os.FileSize(h) == 0xFFFFFFFFu);
    if (h > 2) continue;
    EXPECT_FALSE(os.ComSetupQueues(h, 1024, 1024) ||
                 os.ComPurge(h, kPurgeRxClear | kPurgeTxClear) || os.ComWaitInput(h, 1));
    EXPECT_TRUE(!os.ComClearError(h, &n) && n == 0);
  }
  EXPECT_FALSE(os.ComGetState(kInvalidHandle, nullptr) ||
               os.ComWrite(kInvalidHandle, "x", 1, nullptr) ||
               os.FileRead(kInvalidHandle, buf, 1, nullptr) || os.FileDelete(nullptr));
  for (const char *name : {static_cast<const char *>(nullptr), "", "/dev/null", "/no/such/tty"})
    EXPECT_EQ(os.ComOpen(name), kInvalidHandle) << (name ? name : "null");
  EXPECT_TRUE(os.FileCreate(nullptr) == kInvalidHandle &&
              os.FileOpenRead(nullptr) == kInvalidHandle &&
              os.FileCreate("/no/such/dir/file") == kInvalidHandle &&
              os.FileOpenRead(::testing::TempDir().c_str()) == kInvalidHandle);  // a directory
  // The built-in WinSock has the table's entries by name only; freeing it succeeds.
  const Handle ws = os.ModuleLoad("WSOCK32.DLL");
  EXPECT_TRUE(ws != kNoHandle && os.ModuleSymbol(kNoHandle, "recv") == nullptr &&
              os.ModuleSymbol(ws, nullptr) == nullptr && os.ModuleEntry(ws, 1, "recv") == nullptr &&
              os.ModuleSymbol(ws, "WSAAsyncSelect") == nullptr && os.ModuleFree(ws));
  EXPECT_FALSE(os.ModuleFree(kNoHandle) || os.ModuleOnSearchPath(nullptr) ||
               os.ModuleOnSearchPath("WSOCK32") || os.ModuleOnSearchPath("WSOCK32.DLL.X") ||
               os.FileVersion(nullptr, nullptr, nullptr) || os.SocketWaitInput(~WsSocket{0}, 1));
  EXPECT_TRUE(os.FileVersion("veldc.dll", nullptr, nullptr));
  EXPECT_FALSE(os.DefaultPortName(0) || os.DefaultPortName(5));
  EXPECT_EQ(std::string(os.DefaultPortName(1)) + os.DefaultPortName(4), "/dev/ttyS0/dev/ttyS3");
  // No driver on the loader's path here; the Kov74 stand-in test loads one through it.
  EXPECT_TRUE(os.ModuleLoad("OTHER.DLL") == kNoHandle && !os.ModuleOnSearchPath("KOV74C.DLL") &&
              os.ModuleLoad("KOV74C.DLL") == kNoHandle && os.SelfModule() != kNoHandle);
  uint32_t ms = 0, ls = 0;
  ASSERT_TRUE(os.FileVersion("VELDC.DLL", &ms, &ls));
  EXPECT_TRUE(ms == 0x10000 && ls == 0x10000) << "the library's own, 1.0.1.0: " << ms << " " << ls;
}

}  // namespace
}  // namespace veldc::platform
