// The native backend on Linux and other POSIX systems: termios ports, BSD sockets behind a
// WinSock table, dlopen for the driver, plain files with advisory locks.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/serial_settings.h"
#include "platform/posix/sys_calls.h"
#include "platform/posix/winsock_table.h"
#include "veldc_version.h"

namespace veldc::platform {

namespace {

constexpr const char *kWinSockName = "WSOCK32.DLL";
constexpr const char *kKov74Name = "KOV74C.DLL";
constexpr const char *kKov74Library = "libkov74c.so";
// WSOCK32.DLL is built in: its "module" is this marker, never a dlopen handle.
constexpr Handle kWinSockModule = 0x5001;
constexpr Handle kSelfModule = 0x5E1F;

bool SameName(const char *a, const char *b) {
  if (a == nullptr) return false;
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 32) : *a;
    if (ca != *b) return false;
  }
  return *a == *b;
}

// Keeps descriptors 0..2 free for the standard streams, and off kNoHandle.
int AboveStdio(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = VELDC_SYS(fcntl, fd, F_DUPFD_CLOEXEC, 3);
  const int error = errno;
  VELDC_SYS(close, fd);
  errno = error;
  return moved;
}

int Fd(Handle h) { return h > 2 && h < 0x7FFFFFFF ? static_cast<int>(h) : -1; }

// Notes errno against the device or file a call concerned, for GetErrorDetail.
void Note(const char *subject, int error, const char *text = nullptr) {
  NoteOsFailure(subject, error, text != nullptr ? text : std::strerror(error));
}

// A lock refused means another opener holds it; any other failure is noted as it is.
void NoteLock(const char *subject, int error, const char *heldText) {
  if (error == EWOULDBLOCK) {
    Note(subject, EBUSY, heldText);
  } else {
    Note(subject, error);
  }
}

// The same for an open descriptor, named by the path it was opened with.
void NoteFd(int fd, int error) {
  char link[32];
  char path[256] = "";
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = ::readlink(link, path, sizeof path - 1);
  path[n > 0 ? n : 0] = '\0';
  Note(path, error);
}

// Closes a port or file; Linux frees the descriptor even when the close reports an error.
bool Closed(int fd) {
  if (VELDC_SYS(close, fd) == 0) return true;
  NoteFd(fd, errno);
  return false;
}

int64_t MonotonicNs() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A sleep without timer slack wakes up some 15-60 us late, depending on whether the core was idle
// (late) or busy (early). A pause sleeps to its deadline less the lateness this thread's sleeps
// have shown lately, and spins the rest. A long fixed stretch costs more than CPU: with a busy
// process on every core, pauses that spun 150 us ended a whole tick (4 ms) late several times as
// often.
class WakeLateness {
 public:
  // How far before the deadline to wake up: the mean lateness and twice its mean deviation.
  int64_t LeadNs() const { return std::clamp(mean_ + 2 * deviation_, kMinLeadNs, kMaxLeadNs); }

  // A wake-up past 0.5 ms is the core lost to another thread, which no spin would have saved:
  // it teaches nothing about the timer.
  void Note(int64_t lateNs) {
    if (lateNs < 0 || lateNs > 500000) return;
    const int64_t error = lateNs - mean_;
    mean_ += error / 8;
    deviation_ += ((error < 0 ? -error : error) - deviation_) / 4;
  }

  static constexpr int64_t kMinLeadNs = 20000, kMaxLeadNs = 150000;

 private:
  int64_t mean_ = 40000, deviation_ = 10000;
};

// The thread's timer slack (50 us by default) would delay every wake-up by up to that much:
// a pause sleeps without it, and puts back the host's own setting.
class NoTimerSlack {
 public:
  NoTimerSlack() : slack_(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
    if (slack_ > 1) ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  }
  ~NoTimerSlack() {
    if (slack_ > 1) ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack_), 0, 0, 0);
  }
  NoTimerSlack(const NoTimerSlack &) = delete;
  NoTimerSlack &operator=(const NoTimerSlack &) = delete;

 private:
  const int slack_;
};

timespec AtNs(int64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Waits in poll() until the descriptor is readable or fails, `limitMs` pass, or `wake` is
// signalled (and then drained); false for no descriptor at all.
bool AwaitReadable(int fd, int wake, uint32_t limitMs) {
  if (fd < 0) return false;
  pollfd pfd[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  const timespec limit = AtNs(static_cast<int64_t>(limitMs) * 1000000);
  if (VELDC_SYS(ppoll, pfd, wake >= 0 ? 2 : 1, &limit, nullptr) > 0 &&
      (pfd[1].revents & POLLIN) != 0) {
    uint64_t count;
    (void)!VELDC_SYS(read, wake, &count, sizeof count);
  }
  return true;
}

// A port whose device is gone (pulled, or the pty's far side closed) reports a hang-up or an
// error, never input: reading it would only ever bring nothing.
bool HungUp(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  return VELDC_SYS(poll, &pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

class PosixPlatform : public Platform {
 public:
  // The waits also watch this, so a cancel request from another thread ends them.
  PosixPlatform() : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

  // ---- COM port ----
  Handle ComOpen(const char *name) override {
    if (name == nullptr || *name == '\0') return kInvalidHandle;
    const int fd = AboveStdio(VELDC_SYS(open, name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) {
      Note(name, errno);
      return kInvalidHandle;
    }
    // Not shared, as Windows opens a port: a second opener (here or elsewhere) fails.
    if (!::isatty(fd)) {
      Note(name, ENOTTY, "not a serial device");
    } else if (VELDC_SYS(flock, fd, LOCK_EX | LOCK_NB) != 0 ||
               VELDC_SYS(ioctl, fd, TIOCEXCL) != 0) {
      NoteLock(name, errno, nullptr);
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      ports_[fd] = Port{};
      return fd;
    }
    VELDC_SYS(close, fd);
    return kInvalidHandle;
  }

  bool ComSetupQueues(Handle port, uint32_t, uint32_t) override { return Fd(port) >= 0; }

  bool ComGetState(Handle port, ComState *state) override {
    termios tio;
    if (state == nullptr) return false;
    if (VELDC_SYS(tcgetattr, Fd(port), &tio) != 0) {
      NoteFd(Fd(port), errno);
      return false;
    }
    *state = posix::ReadComState(tio);
    return true;
  }

  bool ComSetState(Handle port, const ComState &state) override {
    const int fd = Fd(port);
    termios tio;
    if (VELDC_SYS(tcgetattr, fd, &tio) != 0) {
      NoteFd(fd, errno);
      return false;
    }
    if (!posix::ApplyComState(state, &tio)) return false;
    if (VELDC_SYS(tcsetattr, fd, TCSANOW, &tio) != 0) {
      NoteFd(fd, errno);
      return false;
    }
    // Ptys have no modem lines: raising DTR and RTS may fail there and is not an error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    VELDC_SYS(ioctl, fd, TIOCMBIS, &lines);
    return true;
  }

  bool ComSetTimeouts(Handle port, const ComTimeouts &timeouts) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Port *p = Find(Fd(port));
    if (p != nullptr) p->timeouts = timeouts;
    return p != nullptr;
  }

  bool ComPurge(Handle port, uint32_t flags) override {
    const int fd = Fd(port);
    if (fd < 0) return false;
    const bool rx = (flags & kPurgeRxClear) != 0;
    const bool tx = (flags & kPurgeTxClear) != 0;
    if (!rx && !tx) return true;
    if (rx) TakeBuffered(fd, nullptr, sizeof(Port::input));
    if (VELDC_SYS(tcflush, fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) {
      NoteFd(fd, errno);
      return false;
    }
    return true;
  }

  bool ComClearError(Handle port, uint32_t *errorMask) override {
    const int fd = Fd(port);
    if (errorMask != nullptr) *errorMask = fd >= 0 && HungUp(fd) ? kCommIoError : 0;
    return fd >= 0;
  }

  bool ComWrite(Handle port, const void *data, uint32_t length, uint32_t *written) override {
    const int fd = Fd(port);
    uint32_t done = 0;
    if (written != nullptr) *written = 0;
    if (fd < 0) return false;
    ComTimeouts t;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (const Port *p = Find(fd)) t = p->timeouts;
    }
    const uint64_t limitMs =
        static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * length + t.WriteTotalTimeoutConstant;
    const bool bounded = limitMs != 0;  // zero in both: no time-out, as on Windows
    const int64_t deadline = MonotonicNs() + static_cast<int64_t>(limitMs) * 1000000;
    const char *p = static_cast<const char *>(data);
    int failure = ETIMEDOUT;
    while (done < length) {
      const ssize_t n = VELDC_SYS(write, fd, p + done, length - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      // EWOULDBLOCK is EAGAIN on Linux: its own test never decides.
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {  // GCOVR_EXCL_BR_LINE
        failure = errno;
        break;
      }
      int waitMs = -1;
      if (bounded) {
        const int64_t left = deadline - MonotonicNs();
        if (left <= 0) break;
        waitMs = static_cast<int>((left + 999999) / 1000000);
      }
      pollfd pfd{fd, POLLOUT, 0};
      if (VELDC_SYS(poll, &pfd, 1, waitMs) < 0 && errno != EINTR) {
        failure = errno;
        break;
      }
    }
    if (written != nullptr) *written = done;
    // A write cut short by the time-out is a failed write: the terminal lacks bytes.
    if (done != length) NoteFd(fd, failure);
    return done == length;
  }

  // Lines are read a byte at a time: one read() takes what the port holds, and the bytes the
  // caller did not ask for wait here for its next call (a purge drops them, as the port's own).
  uint32_t ComRead(Handle port, void *data, uint32_t length) override {
    const int fd = Fd(port);
    if (fd < 0 || length == 0) return 0;
    // What was read ahead is handed out only while the device is there: one that went away
    // fails the transfer at once, as an unread kernel queue would, not lines later.
    if (BufferedAndDueCheck(fd) && HungUp(fd)) {
      TakeBuffered(fd, nullptr, sizeof(Port::input));
      NoteFd(fd, EIO);
      return 0;
    }
    const uint32_t buffered = TakeBuffered(fd, data, length);
    if (buffered != 0) return buffered;
    char chunk[sizeof(Port::input)];
    const bool small = length < sizeof chunk;
    const ssize_t n = VELDC_SYS(read, fd, small ? chunk : data, small ? sizeof chunk : length);
    // A device that went away (a USB adapter pulled) says so here; an empty line does not.
    if (n < 0 && errno != EAGAIN && errno != EINTR) NoteFd(fd, errno);
    if (n <= 0) return 0;
    if (!small) return static_cast<uint32_t>(n);
    const uint32_t taken = std::min(length, static_cast<uint32_t>(n));
    std::memcpy(data, chunk, taken);
    std::lock_guard<std::mutex> lock(mutex_);
    if (Port *p = Find(fd)) p->Keep(chunk + taken, static_cast<uint32_t>(n) - taken);
    return taken;
  }

  bool ComTransmitChar(Handle port, char c) override {
    uint32_t written = 0;
    return ComWrite(port, &c, 1, &written);
  }

  bool ComClose(Handle port) override {
    const int fd = Fd(port);
    if (fd < 0) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ports_.erase(fd);
    }
    // The exclusive mark stays on the tty while anyone else holds it open: take it off.
    VELDC_SYS(ioctl, fd, TIOCNXCL);
    return Closed(fd);
  }

  const char *DefaultPortName(int port) override {
    static const char *const kNames[] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3"};
    return port >= 1 && port <= 4 ? kNames[port - 1] : nullptr;
  }

  // ---- Time ----
  int64_t PerfFrequency() override { return 1000000000; }
  int64_t PerfCounter() override { return MonotonicNs(); }
  uint32_t TickCount() override { return static_cast<uint32_t>(MonotonicNs() / 1000000); }

  void SleepMs(uint32_t ms) override {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (VELDC_SYS(nanosleep, &ts, &ts) != 0 && errno == EINTR) {
    }
  }

  void PauseUntil(int64_t deadline) override {
    static thread_local WakeLateness lateness;
    const int64_t wakeAt = deadline - lateness.LeadNs();
    if (wakeAt > MonotonicNs()) {
      const NoTimerSlack exact;
      const timespec wake = AtNs(wakeAt);
      while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
      }
      lateness.Note(MonotonicNs() - wakeAt);
    }
    while (MonotonicNs() < deadline) {
    }
  }

  bool ComWaitInput(Handle port, uint32_t limitMs) override {
    if (HasBuffered(Fd(port))) return true;
    return AwaitReadable(Fd(port), wake_, limitMs);
  }

  bool SocketWaitInput(WsSocket socket, uint32_t limitMs) override {
    return AwaitReadable(socket <= 0x7FFFFFFF ? static_cast<int>(socket) : -1, wake_, limitMs);
  }

  // Async-signal-safe: one write to the eventfd.
  void WakeWaits() override {
    const uint64_t one = 1;
    if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
  }

  int UtcYear() override {
    const time_t now = ::time(nullptr);
    tm parts;
    // Fails only for a year past the range of int: never for the present time.
    if (::gmtime_r(&now, &parts) == nullptr) return 1970;  // GCOVR_EXCL_BR_LINE
    return parts.tm_year + 1900;
  }

  // ---- Modules ----
  bool ModuleOnSearchPath(const char *name) override {
    if (SameName(name, kWinSockName)) return true;
    if (!SameName(name, kKov74Name)) return false;
    void *h = ::dlopen(kKov74Library, RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) return false;
    ::dlclose(h);
    return true;
  }

  Handle ModuleLoad(const char *name) override {
    if (SameName(name, kWinSockName)) return kWinSockModule;
    if (!SameName(name, kKov74Name)) return kNoHandle;
    return reinterpret_cast<Handle>(::dlopen(kKov74Library, RTLD_NOW | RTLD_LOCAL));
  }

  void *ModuleSymbol(Handle module, const char *name) override {
    if (module == kNoHandle || name == nullptr) return nullptr;
    if (module == kWinSockModule) return posix::WinSockSymbol(name);
    return ::dlsym(reinterpret_cast<void *>(module), name);
  }

  void *ModuleEntry(Handle module, int /*ordinal*/, const char *name) override {
    if (module == kWinSockModule) return nullptr;
    return ModuleSymbol(module, name);
  }

  bool ModuleFree(Handle module) override {
    if (module == kWinSockModule) return true;
    if (module == kNoHandle) return false;
    return ::dlclose(reinterpret_cast<void *>(module)) == 0;
  }

  Handle SelfModule() override { return kSelfModule; }

  bool FileVersion(const char *file, uint32_t *versionMs, uint32_t *versionLs) override {
    if (!SameName(file, "VELDC.DLL")) return false;
    if (versionMs != nullptr) *versionMs = VELDC_VERSION_MAJOR << 16 | VELDC_VERSION_MINOR;
    if (versionLs != nullptr) *versionLs = VELDC_VERSION_PATCH << 16 | VELDC_VERSION_TWEAK;
    return true;
  }

  // ---- PC files ----
  Handle FileOpenRead(const char *path) override {
    if (path == nullptr) return kInvalidHandle;
    return RegularFile(path, VELDC_SYS(open, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  }

  Handle FileCreate(const char *path) override {
    if (path == nullptr) return kInvalidHandle;
    // Lock before truncating, so a file someone holds is not emptied under them.
    const Handle h =
        RegularFile(path, VELDC_SYS(open, path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644));
    if (h != kInvalidHandle && VELDC_SYS(ftruncate, static_cast<int>(h), 0) != 0) {
      Note(path, errno);
      VELDC_SYS(close, static_cast<int>(h));
      return kInvalidHandle;
    }
    return h;
  }

  bool FileRead(Handle file, void *data, uint32_t length, uint32_t *got) override {
    if (got != nullptr) *got = 0;
    const int fd = Fd(file);
    if (fd < 0) return false;
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n = VELDC_SYS(read, fd, static_cast<char *>(data) + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        NoteFd(fd, errno);
        return false;
      }
      if (n == 0) break;
      done += static_cast<uint32_t>(n);
    }
    if (got != nullptr) *got = done;
    return true;
  }

  bool FileWrite(Handle file, const void *data, uint32_t length) override {
    const int fd = Fd(file);
    if (fd < 0) return false;
    uint32_t done = 0;
    while (done < length) {
      const ssize_t n = VELDC_SYS(write, fd, static_cast<const char *>(data) + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        NoteFd(fd, n < 0 ? errno : ENOSPC);
        return false;
      }
      done += static_cast<uint32_t>(n);
    }
    return true;
  }

  uint32_t FileSize(Handle file) override {
    struct stat st;
    if (VELDC_SYS(fstat, Fd(file), &st) != 0) {
      NoteFd(Fd(file), errno);
      return 0xFFFFFFFFu;  // INVALID_FILE_SIZE
    }
    return static_cast<uint32_t>(st.st_size);
  }

  bool FileClose(Handle file) override {
    const int fd = Fd(file);
    return fd >= 0 && Closed(fd);
  }

  bool FileDelete(const char *path) override {
    if (path == nullptr) return false;
    if (VELDC_SYS(unlink, path) == 0) return true;
    Note(path, errno);
    return false;
  }

  // ---- Meters: no window system ----
  Handle MeterCreate(Handle, int) override { return kNoHandle; }
  void MeterShow(Handle) override {}
  void MeterSetItemText(Handle, int, const char *) override {}
  void MeterSetItemInt(Handle, int, int) override {}
  void MeterSendProgress(Handle, uint32_t, int32_t) override {}
  void MeterDestroy(Handle) override {}

 private:
  // Only regular files, opened without sharing as on Windows: a file another opener holds
  // fails. The open itself never waits (a FIFO would wait for its other end for ever, and a
  // transfer may already have told the terminal to expect data); a directory, FIFO or device
  // is refused before a byte moves.
  static Handle RegularFile(const char *path, int fd) {
    fd = AboveStdio(fd);
    if (fd < 0) {
      Note(path, errno);
      return kInvalidHandle;
    }
    struct stat st;
    const bool known = VELDC_SYS(fstat, fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
      Note(path, known ? EINVAL : errno, known ? "not a regular file" : nullptr);
      VELDC_SYS(close, fd);
      return kInvalidHandle;
    }
    if (VELDC_SYS(flock, fd, LOCK_EX | LOCK_NB) != 0) {
      NoteLock(path, errno, "in use by another program");
      VELDC_SYS(close, fd);
      return kInvalidHandle;
    }
    const int flags = VELDC_SYS(fcntl, fd, F_GETFL);
    if (flags < 0 || VELDC_SYS(fcntl, fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      Note(path, errno);
      VELDC_SYS(close, fd);
      return kInvalidHandle;
    }
    return fd;
  }

  // An open port: its time-outs and the bytes read from it that no caller has taken yet.
  struct Port {
    ComTimeouts timeouts;
    char input[256];
    uint32_t begin = 0, end = 0;
    int64_t checkedAt = 0;  // when the port was last seen there with bytes buffered

    bool Holds() const { return begin != end; }
    void Keep(const char *bytes, uint32_t n) {
      std::memcpy(input, bytes, n);
      begin = 0;
      end = n;
    }
  };

  // The open port's state, or nullptr; mutex_ is held.
  Port *Find(int fd) {
    auto it = ports_.find(fd);
    return it == ports_.end() ? nullptr : &it->second;
  }

  // Moves up to `length` buffered bytes of the port to `data` (nullptr: drops them).
  uint32_t TakeBuffered(int fd, void *data, uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    Port *p = Find(fd);
    if (p == nullptr) return 0;
    const uint32_t n = std::min(length, p->end - p->begin);
    if (data != nullptr) std::memcpy(data, p->input + p->begin, n);
    p->begin += n;
    return n;
  }

  // True every 5 ms at most while bytes are buffered: time to check the device is still there.
  bool BufferedAndDueCheck(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    Port *p = Find(fd);
    if (p == nullptr || !p->Holds()) return false;
    const int64_t now = MonotonicNs();
    if (now - p->checkedAt < 5000000) return false;
    p->checkedAt = now;
    return true;
  }

  bool HasBuffered(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Port *p = Find(fd);
    return p != nullptr && p->Holds();
  }

  const int wake_;
  std::mutex mutex_;
  std::map<int, Port> ports_;
};

}  // namespace

posix::SysHook posix::sysHook = nullptr;

Platform &NativePlatform() {
  static PosixPlatform native;
  return native;
}

}  // namespace veldc::platform
