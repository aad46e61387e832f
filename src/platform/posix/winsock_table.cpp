#include "platform/posix/winsock_table.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/sys_calls.h"
#include "platform/winsock_text.h"

namespace veldc::platform::posix {

namespace {

static_assert(sizeof(sockaddr_in) == sizeof(WsSockAddrIn), "same bytes as sockaddr_in");

constexpr int kWsaEIntr = 10004;
constexpr int kWsaEFault = 10014;
constexpr int kWsaEInval = 10022;
constexpr int kWsaEAcces = 10013;
constexpr int kWsaEMFile = 10024;
constexpr int kWsaEDestAddrReq = 10039;
constexpr int kWsaEAfNoSupport = 10047;
constexpr int kWsaEAddrInUse = 10048;
constexpr int kWsaEAddrNotAvail = 10049;
constexpr int kWsaENetDown = 10050;
constexpr int kWsaENetUnreach = 10051;
constexpr int kWsaEConnReset = 10054;
constexpr int kWsaENoBufs = 10055;
constexpr int kWsaEIsConn = 10056;
constexpr int kWsaENotConn = 10057;
constexpr int kWsaEConnRefused = 10061;
constexpr int kWsaEHostUnreach = 10065;
constexpr int kWsaHostNotFound = 11001;

// WSAGetLastError is per thread in WinSock.
thread_local int lastError = 0;

int Fail(int wsaError) {
  lastError = wsaError;
  return kWsSocketError;
}

int FailErrno() { return Fail(WinSockErrorFor(errno)); }

int Fd(WsSocket s) { return s > 0x7FFFFFFF ? -1 : static_cast<int>(s); }

// Notes errno against the address a socket call concerned, for GetErrorDetail.
void NoteAddress(const sockaddr_in &a, int error) {
  char subject[40];
  char dotted[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &a.sin_addr, dotted, sizeof dotted);
  std::snprintf(subject, sizeof subject, "UDP %s:%u", dotted, ntohs(a.sin_port));
  NoteOsFailure(subject, error, std::strerror(error));
}

// ... and against the peer of a connected socket.
void NotePeer(int fd, int error) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (VELDC_SYS(getpeername, fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) a = sockaddr_in{};
  NoteAddress(a, error);
}

sockaddr_in ToSockAddr(const WsSockAddrIn *name) {
  sockaddr_in a;
  std::memcpy(&a, name, sizeof(a));
  // The family field is 16 bits on Windows; BSD layouts keep a length byte in front of it.
  a.sin_family = static_cast<sa_family_t>(name->sin_family);
  return a;
}

int VELDC_WSAAPI PWSAStartup(uint16_t /*version*/, WsData *data) {
  if (data == nullptr) return kWsaEFault;
  std::memset(data, 0, sizeof(*data));
  data->wVersion = 0x0101;
  data->wHighVersion = 0x0101;
  return 0;
}

WsSocket VELDC_WSAAPI PSocket(int af, int type, int protocol) {
  const int fd = VELDC_SYS(socket, af, type, protocol);
  if (fd < 0) {
    FailErrno();
    return kWsInvalidSocket;
  }
  return static_cast<WsSocket>(fd);
}

void SetShared(int fd, int on) {
  VELDC_SYS(setsockopt, fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

// True when a socket bound to every address (or to 127.0.0.1) holds the UDP port: a probe on
// 127.0.0.1 that does not ask to share meets those, and not a socket on another address.
bool HeldForEveryAddress(uint16_t portInNetworkOrder) {
  const int probe = VELDC_SYS(socket, AF_INET, SOCK_DGRAM, 0);
  if (probe < 0) return true;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = portInNetworkOrder;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool held = VELDC_SYS(bind, probe, reinterpret_cast<const sockaddr *>(&a), sizeof(a)) != 0;
  VELDC_SYS(close, probe);
  return held;
}

// WinSock's rule: a port is shared between binds to different addresses (the host on every
// address, an adapter stand-in on 127.0.0.2), never between two binds to the same one, so a
// second host on the port fails. Linux shares a UDP port only among sockets that all ask to,
// and then with anyone: so ours asks only once it holds the port, or to join a port held
// solely on other addresses.
int VELDC_WSAAPI PBind(WsSocket s, const WsSockAddrIn *name, int namelen) {
  if (name == nullptr || namelen < static_cast<int>(sizeof(WsSockAddrIn))) {
    return Fail(kWsaEFault);
  }
  const int fd = Fd(s);
  const sockaddr_in a = ToSockAddr(name);
  const auto *sa = reinterpret_cast<const sockaddr *>(&a);
  if (VELDC_SYS(bind, fd, sa, sizeof(a)) == 0) {
    SetShared(fd, 1);
    return 0;
  }
  const int e = errno;
  if (e != EADDRINUSE || a.sin_addr.s_addr != htonl(INADDR_ANY) ||
      HeldForEveryAddress(a.sin_port)) {
    NoteAddress(a, e);
    return Fail(WinSockErrorFor(e));
  }
  SetShared(fd, 1);
  if (VELDC_SYS(bind, fd, sa, sizeof(a)) != 0) {
    const int again = errno;
    SetShared(fd, 0);
    NoteAddress(a, again);
    return Fail(WinSockErrorFor(again));
  }
  return 0;
}

int VELDC_WSAAPI PIoctl(WsSocket s, int32_t cmd, uint32_t *argp) {
  if (cmd != kWsFionbio) return Fail(kWsaEInval);
  if (argp == nullptr) return Fail(kWsaEFault);
  const int flags = VELDC_SYS(fcntl, Fd(s), F_GETFL);
  if (flags < 0) return FailErrno();
  const int want = *argp != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (VELDC_SYS(fcntl, Fd(s), F_SETFL, want) != 0) return FailErrno();
  return 0;
}

int VELDC_WSAAPI PConnect(WsSocket s, const WsSockAddrIn *name, int namelen) {
  if (name == nullptr || namelen < static_cast<int>(sizeof(WsSockAddrIn))) {
    return Fail(kWsaEFault);
  }
  const sockaddr_in a = ToSockAddr(name);
  if (VELDC_SYS(connect, Fd(s), reinterpret_cast<const sockaddr *>(&a), sizeof(a)) != 0) {
    return FailErrno();
  }
  return 0;
}

bool IsDatagram(int fd) {
  int type = 0;
  socklen_t len = sizeof(type);
  return VELDC_SYS(getsockopt, fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;
}

int VELDC_WSAAPI PRecv(WsSocket s, char *buf, int len, int flags) {
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(kWsaEFault);
  const int fd = Fd(s);
  if (IsDatagram(fd)) {
    // MSG_TRUNC makes the call return the datagram's real length: a longer one has filled
    // the buffer and lost the rest, which WinSock reports as a failure.
    const ssize_t n = VELDC_SYS(recv, fd, buf, static_cast<size_t>(len), flags | MSG_TRUNC);
    // A connected UDP socket learns of an ICMP refusal on its next read; Windows reports
    // that as a reset.
    if (n < 0 && errno == ECONNREFUSED) {
      NotePeer(fd, ECONNREFUSED);
      return Fail(kWsaEConnReset);
    }
    if (n < 0) return FailErrno();
    if (n > len) return Fail(kWsaEMsgSize);
    return static_cast<int>(n);
  }
  const ssize_t n = VELDC_SYS(recv, fd, buf, static_cast<size_t>(len), flags);
  if (n < 0) return FailErrno();
  return static_cast<int>(n);
}

int VELDC_WSAAPI PSend(WsSocket s, const char *buf, int len, int flags) {
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(kWsaEFault);
  const int fd = Fd(s);
  ssize_t n = VELDC_SYS(send, fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
  // Linux hands a pending ICMP refusal to whichever call comes next; a Windows send never
  // fails for it, so the datagram goes out once the report is consumed.
  if (n < 0 && errno == ECONNREFUSED && IsDatagram(fd)) {
    n = VELDC_SYS(send, fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
  }
  if (n < 0 && errno == ECONNREFUSED) {
    NotePeer(fd, ECONNREFUSED);
    return Fail(kWsaEConnReset);
  }
  // Linux asks for a destination; WinSock says the socket is not connected.
  if (n < 0 && errno == EDESTADDRREQ) return Fail(kWsaENotConn);
  if (n < 0) return FailErrno();
  return static_cast<int>(n);
}

int VELDC_WSAAPI PCloseSocket(WsSocket s) {
  const int fd = Fd(s);
  // Only sockets: closing some other descriptor by mistake must not succeed. Any other
  // failure of the question leaves a socket that still has to be closed.
  int type = 0;
  socklen_t len = sizeof(type);
  if (fd < 0 || (VELDC_SYS(getsockopt, fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 &&
                 (errno == ENOTSOCK || errno == EBADF))) {
    return Fail(kWsaENotSock);
  }
  if (VELDC_SYS(close, fd) != 0) return FailErrno();
  return 0;
}

int VELDC_WSAAPI PWSACleanup() { return 0; }

uint32_t VELDC_WSAAPI PInetAddr(const char *cp) { return WsInetAddr(cp); }

char *VELDC_WSAAPI PInetNtoa(uint32_t in) {
  static char text[16];
  return WsInetNtoa(in, text);
}

uint16_t VELDC_WSAAPI PHtons(uint16_t v) { return WsHtons(v); }

int VELDC_WSAAPI PSendTo(WsSocket s, const char *buf, int len, int flags, const WsSockAddrIn *to,
                         int tolen) {
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(kWsaEFault);
  if (to == nullptr || tolen < static_cast<int>(sizeof(WsSockAddrIn))) return Fail(kWsaEFault);
  const sockaddr_in a = ToSockAddr(to);
  const ssize_t n = VELDC_SYS(sendto, Fd(s), buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr *>(&a), sizeof(a));
  if (n < 0) return FailErrno();
  return static_cast<int>(n);
}

uint32_t VELDC_WSAAPI PHtonl(uint32_t v) { return WsHtonl(v); }

int VELDC_WSAAPI PWSAGetLastError() { return lastError; }

constexpr int kMaxAddresses = 16;

bool IsLoopback(uint32_t addressInNetworkOrder) {
  return (ntohl(addressInNetworkOrder) >> 24) == 127;
}

// The IPv4 addresses of the interfaces that are up, loopback left out, in the system's order.
int InterfaceAddresses(uint32_t *addresses) {
  ifaddrs *list = nullptr;
  if (VELDC_SYS(getifaddrs, &list) != 0) return 0;
  int count = 0;
  for (const ifaddrs *i = list; i != nullptr && count < kMaxAddresses; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const uint32_t address = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
    if (!IsLoopback(address)) addresses[count++] = address;
  }
  ::freeifaddrs(list);
  return count;
}

bool IsOwnName(const char *name) {
  char own[256];
  if (VELDC_SYS(gethostname, own, sizeof(own)) != 0) return false;
  own[sizeof(own) - 1] = '\0';
  return ::strcasecmp(own, name) == 0;
}

// What the resolver knows of `name`: its IPv4 addresses, each once, and its canonical name.
int Resolve(const char *name, uint32_t *addresses, char *canonical, size_t size) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo *found = nullptr;
  if (VELDC_SYS(getaddrinfo, name, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
  int count = 0;
  for (addrinfo *a = found; a != nullptr && count < kMaxAddresses; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    const uint32_t address = reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (int i = 0; i < count; ++i) seen = seen || addresses[i] == address;
    if (!seen) addresses[count++] = address;
  }
  if (found->ai_canonname != nullptr) {
    std::strncpy(canonical, found->ai_canonname, size - 1);
    canonical[size - 1] = '\0';
  }
  ::freeaddrinfo(found);
  return count;
}

WsHostEnt *VELDC_WSAAPI PGetHostByName(const char *name) {
  static char hostName[256];
  static uint32_t addresses[kMaxAddresses];
  static char *addressList[kMaxAddresses + 1];
  static char *aliases[1];
  static WsHostEnt entry;
  if (name == nullptr) {
    Fail(kWsaEFault);
    return nullptr;
  }
  std::strncpy(hostName, name, sizeof(hostName) - 1);
  hostName[sizeof(hostName) - 1] = '\0';
  int count = Resolve(name, addresses, hostName, sizeof(hostName));
  // WinSock answers for the machine's own name with its interfaces' addresses. Here the name
  // may be in no hosts file (a minimal install, many containers) or only on 127.0.1.1, which
  // tells an adapter on the LAN nothing: then the interfaces that are up are asked.
  bool loopbackOnly = true;
  for (int i = 0; i < count; ++i) loopbackOnly = loopbackOnly && IsLoopback(addresses[i]);
  if (loopbackOnly && IsOwnName(name)) {
    uint32_t found[kMaxAddresses];
    const int n = InterfaceAddresses(found);
    if (n > 0) {
      std::memcpy(addresses, found, sizeof(found));
      count = n;
    }
  }
  // And it knows "localhost" without any hosts file.
  if (count == 0 && ::strcasecmp(name, "localhost") == 0) {
    addresses[0] = htonl(INADDR_LOOPBACK);
    count = 1;
  }
  if (count == 0) {
    Fail(kWsaHostNotFound);
    return nullptr;
  }
  for (int i = 0; i < count; ++i) addressList[i] = reinterpret_cast<char *>(&addresses[i]);
  addressList[count] = nullptr;
  aliases[0] = nullptr;
  entry.h_name = hostName;
  entry.h_aliases = aliases;
  entry.h_addrtype = AF_INET;
  entry.h_length = 4;
  entry.h_addr_list = addressList;
  return &entry;
}

int VELDC_WSAAPI PGetHostName(char *name, int namelen) {
  if (name == nullptr || namelen <= 0) return Fail(kWsaEFault);
  char buffer[256];
  if (VELDC_SYS(gethostname, buffer, sizeof(buffer)) != 0) return FailErrno();
  buffer[sizeof(buffer) - 1] = '\0';
  // WinSock refuses a buffer too short for the whole name instead of cutting it.
  if (std::strlen(buffer) >= static_cast<size_t>(namelen)) return Fail(kWsaEFault);
  std::memcpy(name, buffer, std::strlen(buffer) + 1);
  return 0;
}

// Same order as kWinSockEntryNames.
void *const kEntries[kWinSockEntryCount] = {
    reinterpret_cast<void *>(&PWSAStartup),
    reinterpret_cast<void *>(&PSocket),
    reinterpret_cast<void *>(&PBind),
    reinterpret_cast<void *>(&PIoctl),
    reinterpret_cast<void *>(&PConnect),
    reinterpret_cast<void *>(&PRecv),
    reinterpret_cast<void *>(&PSend),
    reinterpret_cast<void *>(&PCloseSocket),
    reinterpret_cast<void *>(&PWSACleanup),
    reinterpret_cast<void *>(&PInetAddr),
    reinterpret_cast<void *>(&PInetNtoa),
    reinterpret_cast<void *>(&PHtons),
    reinterpret_cast<void *>(&PSendTo),
    reinterpret_cast<void *>(&PHtonl),
    reinterpret_cast<void *>(&PWSAGetLastError),
    reinterpret_cast<void *>(&PGetHostByName),
    reinterpret_cast<void *>(&PGetHostName),
};

}  // namespace

void *WinSockSymbol(const char *name) {
  if (name == nullptr) return nullptr;
  for (int i = 0; i < kWinSockEntryCount; ++i) {
    if (std::strcmp(kWinSockEntryNames[i], name) == 0) return kEntries[i];
  }
  return nullptr;
}

int WinSockErrorFor(int e) {
  // One test on Linux, where EWOULDBLOCK is EAGAIN; two where they differ.
  if (e == EWOULDBLOCK || e == EAGAIN) return kWsaEWouldBlock;  // GCOVR_EXCL_BR_LINE
  switch (e) {
    case EMSGSIZE:
      return kWsaEMsgSize;
    case EBADF:
    case ENOTSOCK:
      return kWsaENotSock;
    case EINVAL:
      return kWsaEInval;
    case EACCES:
      return kWsaEAcces;
    case EADDRINUSE:
      return kWsaEAddrInUse;
    case EADDRNOTAVAIL:
      return kWsaEAddrNotAvail;
    case ENETUNREACH:
      return kWsaENetUnreach;
    case EHOSTUNREACH:
      return kWsaEHostUnreach;
    case ECONNREFUSED:
      return kWsaEConnRefused;
    case ECONNRESET:
      return kWsaEConnReset;
    case EISCONN:
      return kWsaEIsConn;
    case ENOTCONN:
      return kWsaENotConn;
    case EDESTADDRREQ:
      return kWsaEDestAddrReq;
    case EAFNOSUPPORT:
      return kWsaEAfNoSupport;
    case EMFILE:
      return kWsaEMFile;
    case ENOBUFS:
      return kWsaENoBufs;
    case EINTR:
      return kWsaEIntr;
    case EFAULT:
      return kWsaEFault;
    default:
      return kWsaENetDown;
  }
}

}  // namespace veldc::platform::posix
