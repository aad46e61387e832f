// The POSIX receive path on real descriptors: what a terminal line delivers through a pty into
// the port's read, read back in pieces of any size; and datagrams through a socket pair into
// the built-in WinSock recv, read into buffers of any size. What it promises: every byte of the
// line once and in order; a datagram whole, or its first bytes and error 10040 when the buffer
// is short, and never a byte of the next one.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "platform/platform.h"

using namespace veldc::platform;
using veldc::fuzz::Check;

namespace {

struct Harness {
  Harness() {
    char name[128];
    Check(::openpty(&master, &slave, name, nullptr, nullptr) == 0, "openpty");
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    port = NativePlatform().ComOpen(name);
    Check(port != kInvalidHandle, "ComOpen");
    termios raw;
    ::tcgetattr(static_cast<int>(port), &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(static_cast<int>(port), TCSANOW, &raw);
    Check(::socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) == 0, "socketpair");
    const Handle module = NativePlatform().ModuleLoad("WSOCK32.DLL");
    recv = reinterpret_cast<decltype(recv)>(NativePlatform().ModuleSymbol(module, "recv"));
    lastError = reinterpret_cast<decltype(lastError)>(
        NativePlatform().ModuleSymbol(module, "WSAGetLastError"));
  }
  int master = -1, slave = -1, pair[2] = {-1, -1};
  Handle port = kInvalidHandle;
  int (*recv)(WsSocket, char *, int, int) = nullptr;
  int (*lastError)() = nullptr;
};

void Line(Harness &h, FuzzedDataProvider &in) {
  const std::string bytes = in.ConsumeRandomLengthString(2048);
  std::string got;
  std::vector<char> buffer(512);
  // A pty takes what room it has, and frees it only after the port has read: the rest is
  // written as room comes. libFuzzer's time-out alarm interrupts a wait now and then.
  for (size_t sent = 0; got.size() < bytes.size();) {
    const ssize_t n =
        sent < bytes.size() ? ::write(h.master, bytes.data() + sent, bytes.size() - sent) : 0;
    Check(n >= 0 || errno == EAGAIN || errno == EINTR, "write to the line");
    sent += n > 0 ? static_cast<size_t>(n) : 0;
    // The port may hold bytes it has read ahead: the descriptor is waited on only once a
    // read has found nothing.
    const auto want = in.ConsumeIntegralInRange<uint32_t>(1, 512);
    const uint32_t r = NativePlatform().ComRead(h.port, buffer.data(), want);
    Check(r <= want, "a read within its length");
    got.append(buffer.data(), r);
    if (r != 0) continue;
    pollfd p[2] = {{static_cast<int>(h.port), POLLIN, 0}, {h.master, POLLOUT, 0}};
    int ready = 0;
    while ((ready = ::poll(p, sent < bytes.size() ? 2 : 1, 2000)) < 0 && errno == EINTR) {
    }
    Check(ready > 0, "the line's bytes arrive");
  }
  Check(got == bytes, "every byte once, in order");
  Check(NativePlatform().ComRead(h.port, buffer.data(), 512) == 0, "nothing more");
}

void Datagrams(Harness &h, FuzzedDataProvider &in) {
  const std::string d = in.ConsumeRandomLengthString(300);
  Check(::send(h.pair[1], d.data(), d.size(), 0) == static_cast<ssize_t>(d.size()), "send");
  const int length = in.ConsumeIntegralInRange<int>(0, 300);
  std::vector<char> buffer(static_cast<size_t>(length) + 1, '\x5A');
  const int n = h.recv(static_cast<WsSocket>(h.pair[0]), buffer.data(), length, 0);
  if (d.size() > static_cast<size_t>(length)) {
    Check(n == -1 && h.lastError() == kWsaEMsgSize, "a long datagram is refused with 10040");
    Check(std::memcmp(buffer.data(), d.data(), static_cast<size_t>(length)) == 0, "its start");
  } else {
    Check(n == static_cast<int>(d.size()), "a datagram whole");
    Check(std::memcmp(buffer.data(), d.data(), d.size()) == 0, "its bytes");
  }
  Check(buffer[static_cast<size_t>(length)] == '\x5A', "nothing past the buffer");
}

void Receive(const uint8_t *data, size_t size) {
  static Harness harness;
  FuzzedDataProvider in(data, size);
  while (in.remaining_bytes() > 0) (in.ConsumeBool() ? Line : Datagrams)(harness, in);
}

}  // namespace

VELDC_FUZZ_ENTRIES(Receive)
