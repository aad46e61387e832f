// The built-in WinSock table over UDP loopback: WinSock's results and error numbers from BSD
// sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace veldc::platform {
namespace {

class WinSockLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = NativePlatform().ModuleLoad("WSOCK32.DLL");
    ASSERT_NE(module_, kNoHandle);
    void **slots = reinterpret_cast<void **>(&ws_);
    for (int i = 0; i < kWinSockEntryCount; ++i) {
      slots[i] = NativePlatform().ModuleSymbol(module_, kWinSockEntryNames[i]);
      ASSERT_NE(slots[i], nullptr) << kWinSockEntryNames[i];
    }
    WsData data;
    ASSERT_EQ(ws_.WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    // The far end: a plain socket on 127.0.0.1 with a port of the system's choosing.
    peer_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(peer_, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(peer_, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    socklen_t len = sizeof(a);
    ASSERT_EQ(::getsockname(peer_, reinterpret_cast<sockaddr *>(&a), &len), 0);
    peerPort_ = ntohs(a.sin_port);
  }
  void TearDown() override {
    if (s_ != kWsInvalidSocket) ws_.closesocket(s_);
    ::close(peer_);
    EXPECT_EQ(ws_.WSACleanup(), 0);
    NativePlatform().ModuleFree(module_);
  }
  WsSockAddrIn Address(const char *text, uint16_t port) {
    WsSockAddrIn a{};
    a.sin_family = AF_INET;
    // Parenthesised: optimised builds get glibc's htons/htonl macros from <netinet/in.h>.
    a.sin_port = (ws_.htons)(port);
    a.sin_addr = ws_.inet_addr(text);
    return a;
  }
  // A non-blocking socket on 127.0.0.1 connected to the peer, as the library sets one up.
  void OpenConnected() {
    s_ = ws_.socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(s_, kWsInvalidSocket);
    const WsSockAddrIn local = Address("127.0.0.1", 0);
    ASSERT_EQ(ws_.bind(s_, &local, sizeof(local)), 0);
    uint32_t on = 1;
    ASSERT_EQ(ws_.ioctlsocket(s_, kWsFionbio, &on), 0);
    const WsSockAddrIn far = Address("127.0.0.1", peerPort_);
    ASSERT_EQ(ws_.connect(s_, &far, sizeof(far)), 0);
  }
  // Sends from the peer to our socket and waits until it is readable.
  void PeerSends(const std::string &d) {
    sockaddr_in to{};
    socklen_t len = sizeof(to);
    ASSERT_EQ(::getsockname(static_cast<int>(s_), reinterpret_cast<sockaddr *>(&to), &len), 0);
    ASSERT_EQ(::sendto(peer_, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), len),
              static_cast<ssize_t>(d.size()));
    pollfd p{static_cast<int>(s_), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
  }
  Handle module_ = kNoHandle;
  WinSockTable ws_{};
  WsSocket s_ = kWsInvalidSocket;
  int peer_ = -1;
  uint16_t peerPort_ = 0;
};

TEST_F(WinSockLoopback, RoundTripWouldBlockAndTruncation) {
  OpenConnected();
  char buf[134];
  EXPECT_EQ(ws_.recv(s_, buf, sizeof(buf), 0), -1);
  EXPECT_EQ(ws_.WSAGetLastError(), kWsaEWouldBlock);

  const std::string out(
      "\x01\x00\x05"
      "hello",
      8);
  ASSERT_EQ(ws_.send(s_, out.data(), static_cast<int>(out.size()), 0), 8);
  char in[256];
  pollfd p{peer_, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  ASSERT_EQ(::recv(peer_, in, sizeof(in), 0), 8);
  EXPECT_EQ(std::string(in, 8), out);

  PeerSends("reply");
  EXPECT_EQ(ws_.recv(s_, buf, sizeof(buf), 0), 5);
  EXPECT_EQ(std::string(buf, 5), "reply");

  // 200 bytes into 134: the first 134 are kept, the rest is gone with the datagram.
  std::string big(200, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i);
  PeerSends(big);
  std::memset(buf, 0, sizeof(buf));
  EXPECT_EQ(ws_.recv(s_, buf, sizeof(buf), 0), -1);
  EXPECT_EQ(ws_.WSAGetLastError(), kWsaEMsgSize);
  EXPECT_EQ(std::string(buf, sizeof(buf)), big.substr(0, sizeof(buf)));
  EXPECT_EQ(ws_.recv(s_, buf, sizeof(buf), 0), -1);
  EXPECT_EQ(ws_.WSAGetLastError(), kWsaEWouldBlock);

  PeerSends(big.substr(0, 134));  // an exact fit is not truncated
  EXPECT_EQ(ws_.recv(s_, buf, sizeof(buf), 0), 134);

  const WsSockAddrIn far = Address("127.0.0.1", peerPort_);
  EXPECT_EQ(ws_.sendto(s_, "to", 2, 0, &far, sizeof(far)), 2);
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_EQ(::recv(peer_, in, sizeof(in), 0), 2);
}

TEST_F(WinSockLoopback, RefusalReadsAsReset) {
  OpenConnected();
  ::close(peer_);  // nobody listens on the port any more: ICMP port unreachable
  peer_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(ws_.send(s_, "x", 1, 0), 1);
  char buf[16];
  int result = 0;
  int error = 0;
  for (int i = 0; i < 100; ++i) {
    result = ws_.recv(s_, buf, sizeof(buf), 0);
    error = ws_.WSAGetLastError();
    if (error != kWsaEWouldBlock) break;
    ::usleep(2000);
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, 10054);
}

// Each refusal with its WinSock number: arguments refused before any system call, calls on a
// descriptor that is no socket (a pipe here) or none at all, and what the system refuses. The
// calls run in order: each number is read before the next call.
TEST_F(WinSockLoopback, ErrorNumbers) {
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const WsSocket notSocket = static_cast<WsSocket>(pipe[0]), none = ~WsSocket{0};
  OpenConnected();
  const WsSocket unconnected = ws_.socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(unconnected, kWsInvalidSocket);
  const WsSockAddrIn to = Address("127.0.0.1", peerPort_), local = Address("127.0.0.1", 0),
                     foreign = Address("192.0.2.1", 0);
  char buf[4];
  uint32_t on = 1;
  struct Case {
    const char *what;
    std::function<int()> call;
    int error;
  } const cases[] = {
      {"recv negative length", [&] { return ws_.recv(s_, buf, -1, 0); }, 10014},
      {"recv null buffer", [&] { return ws_.recv(s_, nullptr, 4, 0); }, 10014},
      {"send negative length", [&] { return ws_.send(s_, buf, -1, 0); }, 10014},
      {"send null buffer", [&] { return ws_.send(s_, nullptr, 4, 0); }, 10014},
      {"sendto null buffer", [&] { return ws_.sendto(s_, nullptr, 4, 0, &to, sizeof(to)); }, 10014},
      {"sendto no address", [&] { return ws_.sendto(s_, "x", 1, 0, nullptr, 16); }, 10014},
      {"sendto short address", [&] { return ws_.sendto(s_, "x", 1, 0, &to, 8); }, 10014},
      {"sendto no socket", [&] { return ws_.sendto(none, "x", 1, 0, &to, sizeof(to)); },
       kWsaENotSock},
      {"ioctl null argument", [&] { return ws_.ioctlsocket(s_, kWsFionbio, nullptr); }, 10014},
      {"ioctl no socket", [&] { return ws_.ioctlsocket(none, kWsFionbio, &on); }, kWsaENotSock},
      {"connect null name", [&] { return ws_.connect(s_, nullptr, 16); }, 10014},
      {"connect no socket", [&] { return ws_.connect(notSocket, &to, sizeof(to)); }, kWsaENotSock},
      {"bind null name", [&] { return ws_.bind(s_, nullptr, 16); }, 10014},
      {"recv from a pipe", [&] { return ws_.recv(notSocket, buf, sizeof(buf), 0); }, kWsaENotSock},
      {"send on no socket", [&] { return ws_.send(none, "x", 1, 0); }, kWsaENotSock},
      {"close a pipe", [&] { return ws_.closesocket(notSocket); }, kWsaENotSock},
      {"recv no socket", [&] { return ws_.recv(0x7FFF0000, buf, sizeof(buf), 0); }, kWsaENotSock},
      {"close no socket", [&] { return ws_.closesocket(0x7FFF0000); }, kWsaENotSock},
      {"ioctl other command", [&] { return ws_.ioctlsocket(s_, 0x4004667F, &on); }, 10022},
      {"bind twice", [&] { return ws_.bind(s_, &local, sizeof(local)); }, 10022},
      {"bind short name", [&] { return ws_.bind(s_, &local, 4); }, 10014},
      {"bind foreign address", [&] { return ws_.bind(unconnected, &foreign, sizeof(foreign)); },
       10049},
      {"send unconnected", [&] { return ws_.send(unconnected, "x", 1, 0); }, 10057},
      {"close twice", [&] { return ws_.closesocket(unconnected) + ws_.closesocket(unconnected); },
       kWsaENotSock},
      {"unknown family", [&] { return static_cast<int>(ws_.socket(12345, SOCK_DGRAM, 0)); }, 10047},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), -1);
    EXPECT_EQ(ws_.WSAGetLastError(), c.error);
  }
  EXPECT_EQ(ws_.recv(s_, buf, 0, 0), -1) << "nothing waiting";
  EXPECT_EQ(ws_.WSAGetLastError(), 10035);
  EXPECT_EQ(ws_.WSAStartup(0x0101, nullptr), 10014);
  ::close(pipe[0]);
  ::close(pipe[1]);
}

TEST_F(WinSockLoopback, NamesAndAddresses) {
  char name[128];
  ASSERT_EQ(ws_.gethostname(name, sizeof(name)), 0);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_EQ(ws_.gethostname(name, 1), -1);
  EXPECT_EQ(ws_.WSAGetLastError(), 10014);

  WsHostEnt *h = ws_.gethostbyname("localhost");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->h_addrtype, AF_INET);
  EXPECT_EQ(h->h_length, 4);
  ASSERT_NE(h->h_addr_list[0], nullptr);
  uint32_t address;
  std::memcpy(&address, h->h_addr_list[0], 4);
  EXPECT_EQ(std::string(ws_.inet_ntoa(address)).rfind("127.", 0), 0u);
  EXPECT_EQ(ws_.gethostbyname("no-such-host.invalid"), nullptr);
  EXPECT_EQ(ws_.WSAGetLastError(), 11001);

  EXPECT_EQ(ws_.inet_addr("127.1"), htonl(0x7F000001));
  EXPECT_EQ(ws_.inet_addr("255.255.255.255"), kWsInaddrNone);
  EXPECT_EQ((ws_.htons)(0x1234), htons(0x1234));
  EXPECT_EQ((ws_.htonl)(0x01020304), htonl(0x01020304));

  // The own name gives an address an adapter on the LAN can answer: the first IPv4 address of
  // an interface that is up, whatever the hosts file says (127.0.1.1, or nothing at all).
  std::vector<std::string> lan;
  ifaddrs *list = nullptr;
  ASSERT_EQ(::getifaddrs(&list), 0);
  for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    lan.push_back(::inet_ntoa(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr));
  }
  ::freeifaddrs(list);
  h = ws_.gethostbyname(name);
  if (lan.empty()) GTEST_SKIP() << "no interface but loopback here";
  ASSERT_NE(h, nullptr) << name;
  std::memcpy(&address, h->h_addr_list[0], 4);
  EXPECT_EQ(ws_.inet_ntoa(address), lan[0]) << name;
}

}  // namespace
}  // namespace veldc::platform
