// Every system call of the POSIX backend failed in turn. Each operation runs once on a real
// pty, real files or UDP loopback with its calls recorded; then once for each (call,
// occurrence) of that run, the call failing with EIO and EINTR (EAGAIN for a read or write,
// ECONNREFUSED for a send). Each outcome must be the good run's own, or a failure whose cause
// is named: the errno noted for GetErrorDetail, or WSAGetLastError's number for it. No
// descriptor may be left open.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/serial_settings.h"
#include "platform/posix/sys_calls.h"
#include "platform/posix/winsock_table.h"
#include "veldc.h"

namespace veldc::platform {
namespace {

using posix::SysCall;

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

std::set<int> OpenFds() {
  std::set<int> fds;
  DIR *dir = ::opendir("/proc/self/fd");
  for (dirent *e = ::readdir(dir); e != nullptr; e = ::readdir(dir)) {
    if (e->d_name[0] != '.') fds.insert(std::atoi(e->d_name));
  }
  fds.erase(::dirfd(dir));
  ::closedir(dir);
  return fds;
}

sockaddr_in Loopback(const char *address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = ::inet_addr(address);
  return a;
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

class SysCallFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128];
    ASSERT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
    pty_ = name;
    file_ = ::testing::TempDir() + "veldc-syscalls.txt";
    const Handle module = os_.ModuleLoad("wsock32.dll");
    void **slots = reinterpret_cast<void **>(&ws_);
    for (int i = 0; i < kWinSockEntryCount; ++i) {
      slots[i] = os_.ModuleSymbol(module, kWinSockEntryNames[i]);
    }
    peer_ = Bound(Loopback("127.0.0.1", 0), false, &peerPort_);
    ::close(Bound(Loopback("127.0.0.1", 0), false, &closedPort_));
    // A stand-in adapter on 127.0.0.2 that shares its port, as veldc-sim --pelo does.
    standIn_ = Bound(Loopback("127.0.0.2", 0), true, &standInPort_);
    // A host without standard input (a daemon): each new descriptor of the backend is 0 first.
    stdin_ = ::dup(0);
    ::close(0);
  }
  void TearDown() override {
    ::dup2(stdin_, 0);
    for (int fd : {master_, slave_, peer_, standIn_, stdin_}) ::close(fd);
  }

  WsSockAddrIn WsAddress(const char *address, uint16_t port) {
    WsSockAddrIn a;
    const sockaddr_in s = Loopback(address, port);
    std::memcpy(&a, &s, sizeof a);
    return a;
  }
  // A UDP socket of the table bound to `local`, non-blocking, connected to `far`.
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

  // An operation: true on success, with what it produced.
  using Operation = std::function<bool(std::string *)>;
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

bool SysCallFailures::Port(std::string *out) {
  const Handle port = os_.ComOpen(pty_.c_str());
  if (port == kInvalidHandle) return false;
  ComState state;
  uint32_t mask = 1, written = 0;
  bool ok = os_.ComGetState(port, &state) && os_.ComSetState(port, state) &&
            os_.ComPurge(port, kPurgeRxClear | kPurgeTxClear) && os_.ComPurge(port, 0) &&
            os_.ComClearError(port, &mask) && mask == 0 && os_.ComClearError(port, nullptr) &&
            os_.ComWrite(port, "AB\r", 3, nullptr);
  if (ok && ::write(master_, "XY", 2) == 2) {
    char buffer[8];
    os_.WakeWaits();  // the first wait ends at once, woken
    for (int i = 0; i < 20 && out->size() < 2; ++i) {
      os_.ComWaitInput(port, 100);
      out->append(buffer, os_.ComRead(port, buffer, sizeof buffer));
    }
    // Then more than the line holds, with nobody reading: the write times out.
    ComTimeouts limit;
    limit.WriteTotalTimeoutConstant = 50;
    const std::vector<char> flood(1 << 20, 'F');
    ok = *out == "XY" && os_.ComSetTimeouts(port, limit) &&
         !os_.ComWrite(port, flood.data(), 1 << 20, &written) &&
         LastOsFailure().number == ETIMEDOUT;
  }
  ok = os_.ComClose(port) && ok;
  std::vector<char> heard(1 << 16);
  for (ssize_t n = 1; n > 0;) {
    n = ::read(master_, heard.data(), heard.size());
    out->append(heard.data(), static_cast<size_t>(std::max<ssize_t>(0, n)));
  }
  *out = out->substr(0, 8);
  return ok;
}

bool SysCallFailures::Files(std::string *out) {
  Handle f = os_.FileCreate(file_.c_str());
  if (f == kInvalidHandle) return false;
  bool ok = os_.FileWrite(f, "R1\r\nR2\r\n", 8);
  if (!os_.FileClose(f) || !ok || (f = os_.FileOpenRead(file_.c_str())) == kInvalidHandle) {
    ::unlink(file_.c_str());
    return false;
  }
  char buffer[16];
  uint32_t got = 0;
  ok = os_.FileSize(f) == 8 && os_.FileRead(f, buffer, sizeof buffer, &got) &&
       os_.FileRead(f, buffer, 1, nullptr);
  out->assign(buffer, got);
  ok = os_.FileClose(f) && ok;
  if (os_.FileDelete(file_.c_str())) return ok;
  ::unlink(file_.c_str());
  return false;
}

// Out and back to a peer; then a port held only on 127.0.0.2 joined; then a refusal: the
// second send goes out once the refusal is taken, the read reports it as a reset.
bool SysCallFailures::Datagrams(std::string *out) {
  WsSocket s = kWsInvalidSocket;
  const WsSockAddrIn any = WsAddress("0.0.0.0", standInPort_);
  const WsSockAddrIn peer = WsAddress("127.0.0.1", peerPort_);
  const WsSockAddrIn gone = WsAddress("127.0.0.1", closedPort_);
  bool ok = Socket(&s, WsAddress("127.0.0.1", 0), &peer) && ws_.send(s, "hi", 2, 0) == 2;
  sockaddr_in from{};
  socklen_t length = sizeof from;
  char buffer[16];
  if (ok && ::recvfrom(peer_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from),
                       &length) == 2) {
    ::sendto(peer_, "ho", 2, 0, reinterpret_cast<sockaddr *>(&from), length);
    *out = Recv(s) + "|";
    ok = *out == "ho|" && ws_.sendto(s, "to", 2, 0, &peer, sizeof peer) == 2 &&
         ::recv(peer_, buffer, sizeof buffer, 0) == 2;
  }
  if (s != kWsInvalidSocket) ok = ws_.closesocket(s) == 0 && ok;
  if (!ok) return false;
  ok = Socket(&s, any, nullptr);
  if (s != kWsInvalidSocket) ok = ws_.closesocket(s) == 0 && ok;
  if (!ok) return false;
  if (!Socket(&s, WsAddress("127.0.0.1", 0), &gone)) {
    if (s != kWsInvalidSocket) ws_.closesocket(s);
    return false;
  }
  ok = ws_.send(s, "1", 1, 0) == 1 && (os_.SocketWaitInput(s, 200), ws_.send(s, "2", 1, 0) == 1);
  ok = ok && Recv(s) == "#10054";
  ws_.closesocket(s);
  return ok;
}

bool SysCallFailures::Names(std::string *out) {
  os_.SleepMs(1);
  char own[256];
  const WsHostEnt *local = ws_.gethostbyname("localhost");
  if (local != nullptr) *out = ws_.inet_ntoa(*reinterpret_cast<uint32_t *>(local->h_addr_list[0]));
  return local != nullptr && ws_.gethostname(own, sizeof own) == 0 &&
         ws_.gethostbyname(own) != nullptr;
}

TEST_F(SysCallFailures, EveryCallOfEveryOperationFailedInTurn) {
  // Besides the errno injected, a failure may name the operation's own cause: a port whose
  // probe failed is taken as held (10048), a name without addresses is not found (11001).
  const struct {
    const char *name;
    Operation operation;
    int ownCause;
  } operations[] = {{"port", [this](std::string *o) { return Port(o); }, 0},
                    {"files", [this](std::string *o) { return Files(o); }, 0},
                    {"datagrams", [this](std::string *o) { return Datagrams(o); }, 10048},
                    {"names", [this](std::string *o) { return Names(o); }, 11001}};
  posix::sysHook = Hook;
  int cells = 0;
  for (const auto &[name, operation, ownCause] : operations) {
    injection = Injection{};
    std::string good;
    ASSERT_TRUE(operation(&good)) << name << " fails unhindered";
    const std::vector<SysCall> calls = injection.calls;
    std::map<SysCall, int> counts;
    for (SysCall call : calls) ++counts[call];
    for (const auto &[call, count] : counts) {
      for (int occurrence = 1; occurrence <= std::min(count, 3); ++occurrence) {
        // Beyond EIO and EINTR: a port's read or write that must wait, a send that meets a refusal.
        const int own = call == SysCall::write || call == SysCall::read ? EAGAIN
                        : call == SysCall::send                         ? ECONNREFUSED
                                                                        : 0;
        for (int error : {EIO, EINTR, own}) {
          if (error == 0) continue;
          const std::string cell = std::string(name) + ": " +
                                   posix::kSysCallNames[static_cast<int>(call)] + " #" +
                                   std::to_string(occurrence) + " " + std::strerror(error);
          uint32_t none = 0;
          ws_.ioctlsocket(kWsInvalidSocket, 0, &none);  // WSAGetLastError: 10022
          LastOsFailure() = OsFailure{};
          const std::set<int> before = OpenFds();
          injection = Injection{{}, call, occurrence, error};
          std::string got;
          const bool ok = operation(&got);
          ++cells;
          if (ok) {
            EXPECT_EQ(got, good) << cell << ": success, but not the good run's";
          } else {
            const int wsa = ws_.WSAGetLastError();
            EXPECT_TRUE(LastOsFailure().number == error || wsa == posix::WinSockErrorFor(error) ||
                        (ownCause != 0 && wsa == ownCause))
                << cell << ": failed without its cause (noted " << LastOsFailure().number
                << ", WinSock " << wsa << ")";
          }
          EXPECT_EQ(OpenFds(), before) << cell << ": descriptors left open";
        }
      }
    }
  }
  posix::sysHook = nullptr;
  std::printf("%d cells\n", cells);
}

// What is refused before the system is asked, through the backend and the library on it, and
// the WinSock numbers of system errors.
TEST_F(SysCallFailures, RefusalsAndNumbersThatAskNoSystemCall) {
  char text[64];
  int selection[VELDC_PARAM_COUNT] = {1};
  termios tio{};
  static const char *const kBlanks[] = {"1.2.3.4\t", "1.2.3.4\n", "1.2.3.4\v", "1.2.3.4\f",
                                        "1.2.3.4\r"};
  posix::sysHook = Hook;
  injection = Injection{};
  const std::pair<const char *, bool> rows[] = {
      {"read of no port",
       os_.ComRead(kInvalidHandle, text, 1) == 0 && os_.ComRead(0, text, 1) == 0},
      {"read of nothing", os_.ComRead(slave_, text, 0) == 0},
      {"no WinSock entry", posix::WinSockSymbol(nullptr) == nullptr},
      {"no name", ws_.gethostbyname(nullptr) == nullptr && ws_.WSAGetLastError() == 10014},
      {"no buffer", ws_.gethostname(nullptr, 8) == kWsSocketError && ws_.gethostname(text, 0) != 0},
      {"no data", ws_.recv(3, nullptr, 1, 0) != 0 && ws_.send(3, nullptr, 1, 0) != 0 &&
                      ws_.sendto(3, nullptr, 1, 0, nullptr, 0) != 0},
      {"a length below 0", ws_.recv(3, text, -1, 0) != 0 && ws_.send(3, text, -1, 0) != 0 &&
                               ws_.sendto(3, text, -1, 0, nullptr, 0) != 0},
      {"no address", ws_.connect(3, nullptr, 0) != 0 && ws_.WSAGetLastError() == 10014},
      {"a short address", ws_.connect(3, reinterpret_cast<WsSockAddrIn *>(text), 4) != 0},
      {"no such module", os_.ModuleLoad("{") == kNoHandle},
      {"octal zero", ws_.inet_addr("0") == 0},
      {"blanks end an address",
       std::all_of(kBlanks, kBlanks + 5,
                   [&](const char *a) { return ws_.inet_addr(a) == ws_.inet_addr("1.2.3.4"); })},
      {"no hex digits", ws_.inet_addr("0x") == kWsInaddrNone},
      {"port 5", InitCOMM(5, DEV_SERIAL_DIRECT, 9600, 0) == -1 && GetError(text) == 3},
      {"format 5", InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 5) == -1 && GetError(text) == 3},
      {"driver speed", InitCOMM(1, DEV_KOV74_MODE0, 1200, 0) == -1 && GetError(text) == 3},
      {"driver format", InitCOMM(1, DEV_KOV74_MODE0, 9600, 2) == -1 && GetError(text) == 3},
      {"driver port", InitCOMM(0, DEV_KOV74_MODE1, 9600, 0) == -1 && GetError(text) == 3 &&
                          InitCOMM(5, DEV_KOV74_MODE2, 9600, 0) == -1 && GetError(text) == 3},
      {"not open", ChgTerminal(1) == -1 && GetError(text) == 2 && GetParameter(1, text) == -1},
      {"no values", GetAllParams(selection, nullptr) == -1 && SetAllParams(nullptr, text) == -1},
  };
  posix::sysHook = nullptr;
  for (const auto &[name, refused] : rows) EXPECT_TRUE(refused) << name;
  // No buffer for no bytes is no fault: the call goes on to the socket, here none (10038).
  const WsSockAddrIn to = WsAddress("127.0.0.1", peerPort_);
  for (int r :
       {ws_.recv(kWsInvalidSocket, nullptr, 0, 0), ws_.send(kWsInvalidSocket, nullptr, 0, 0),
        ws_.sendto(kWsInvalidSocket, nullptr, 0, 0, &to, sizeof to)}) {
    EXPECT_EQ(r, kWsSocketError);
  }
  EXPECT_EQ(ws_.WSAGetLastError(), 10038);
  // A pause already due ends at once.
  const int64_t due = os_.PerfCounter();
  os_.PauseUntil(due);
  EXPECT_LT(os_.PerfCounter() - due, 50'000'000);
  // A stream socket is read and closed as one, without the datagram rules.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_EQ(::write(pair[1], "stream", 6), 6);
  EXPECT_EQ(ws_.recv(static_cast<WsSocket>(pair[0]), text, 4, 0), 4);
  EXPECT_TRUE(ws_.closesocket(static_cast<WsSocket>(pair[0])) == 0 && ::close(pair[1]) == 0);
  // What a host sees of each system error: WinSock's own numbers.
  const std::pair<int, int> numbers[] = {
      {EMSGSIZE, 10040},     {EBADF, 10038},        {ENOTSOCK, 10038},      {EINVAL, 10022},
      {EACCES, 10013},       {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051},
      {EHOSTUNREACH, 10065}, {ECONNREFUSED, 10061}, {ECONNRESET, 10054},    {EISCONN, 10056},
      {ENOTCONN, 10057},     {EDESTADDRREQ, 10039}, {EAFNOSUPPORT, 10047},  {EMFILE, 10024},
      {ENOBUFS, 10055},      {EINTR, 10004},        {EFAULT, 10014},        {EIO, 10050},
      {EAGAIN, 10035}};
  for (const auto &[e, wsa] : numbers) EXPECT_EQ(posix::WinSockErrorFor(e), wsa) << e;
  // A cause noted without subject or text is handed out as the number alone.
  NoteOsFailure(nullptr, EIO, nullptr);
  EXPECT_EQ(GetErrorDetail(text, sizeof text), EIO);
  EXPECT_STREQ(text, "");
  EXPECT_TRUE(injection.calls.empty()) << injection.calls.size() << " system calls";
  // A line another program left at 5 or 6 bits reads back as such.
  for (const auto &[size, bits] : {std::pair{CS5, 5}, {CS6, 6}}) {
    tio.c_cflag = size;
    EXPECT_EQ(posix::ReadComState(tio).ByteSize, bits);
  }
}

}  // namespace
}  // namespace veldc::platform
