// The system calls of the POSIX backend, made through VELDC_SYS(name, args...) so that a test
// can watch them in order and make any one of them fail with an errno of its choice. Without
// a hook (always, outside that test) the call is made as written, behind one null test.
#pragma once

#include <cerrno>

namespace veldc::platform::posix {

// clang-format off
#define VELDC_POSIX_SYS_CALLS(X)                                                              \
  X(open) X(close) X(read) X(write) X(poll) X(ppoll) X(ioctl) X(tcgetattr) X(tcsetattr)       \
  X(tcflush) X(fcntl) X(flock) X(fstat) X(ftruncate) X(unlink) X(socket) X(bind)              \
  X(setsockopt) X(getsockopt) X(connect) X(recv) X(send) X(sendto) X(getpeername)             \
  X(getifaddrs) X(gethostname) X(getaddrinfo) X(nanosleep)
// clang-format on

enum class SysCall {
#define VELDC_SYS_ENUM(name) name,
  VELDC_POSIX_SYS_CALLS(VELDC_SYS_ENUM)
#undef VELDC_SYS_ENUM
};

inline constexpr const char *kSysCallNames[] = {
#define VELDC_SYS_NAME(name) #name,
    VELDC_POSIX_SYS_CALLS(VELDC_SYS_NAME)
#undef VELDC_SYS_NAME
};

// Told of each call before it is made: 0 lets it run, an errno makes it fail with that errno
// (and -1, or the resolver's non-zero failure) without running (a close still runs).
using SysHook = int (*)(SysCall call);
extern SysHook sysHook;

template <typename Call>
auto Sys(SysCall which, Call call) -> decltype(call()) {
  if (sysHook != nullptr) {
    if (const int e = sysHook(which); e != 0) {
      // A failed close frees the descriptor on Linux all the same.
      if (which == SysCall::close) call();
      errno = e;
      return static_cast<decltype(call())>(-1);
    }
  }
  return call();
}

// The call stays written at its place (so _FORTIFY_SOURCE still checks it there).
#define VELDC_SYS(name, ...)                                             \
  ::veldc::platform::posix::Sys(::veldc::platform::posix::SysCall::name, \
                                [&] { return ::name(__VA_ARGS__); })

}  // namespace veldc::platform::posix
