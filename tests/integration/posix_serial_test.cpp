// The POSIX port, file and module calls on a real pty and real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/serial_settings.h"

namespace veldc::platform {
namespace {

// The settings the library gives a terminal line.
ComState LibrarySettings(uint32_t baud, uint8_t parity) {
  ComState s;
  s.BaudRate = baud;
  s.fBinary = s.fOutX = s.fInX = true;
  s.fParity = parity != kNoParity;
  s.fDtrControl = kDtrControlEnable;
  s.fRtsControl = kRtsControlEnable;
  s.ByteSize = 8;
  s.Parity = parity;
  s.StopBits = kOneStopBit;
  s.XonChar = 0x11;
  s.XoffChar = 0x13;
  return s;
}

class Pty : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128];
    ASSERT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    name_ = name;
    // The test keeps its own slave descriptor only to read the settings back.
  }
  void TearDown() override {
    if (port_ != kInvalidHandle) Os().ComClose(port_);
    ::close(master_);
    ::close(slave_);
  }
  Handle Open() {
    port_ = NativePlatform().ComOpen(name_.c_str());
    return port_;
  }
  // Opens the line at 9600 without parity, with the write time-out `multiplier` ms a byte plus
  // `constant` ms.
  void OpenWithTimeouts(uint32_t multiplier, uint32_t constant) {
    ASSERT_NE(Open(), kInvalidHandle);
    ASSERT_TRUE(os.ComSetState(port_, LibrarySettings(9600, kNoParity)));
    ComTimeouts t;
    t.WriteTotalTimeoutMultiplier = multiplier;
    t.WriteTotalTimeoutConstant = constant;
    ASSERT_TRUE(os.ComSetTimeouts(port_, t));
  }
  Platform &os = NativePlatform();
  // What the master end receives within `ms`.
  std::string Drain(int ms) {
    std::string got;
    pollfd p{master_, POLLIN, 0};
    while (::poll(&p, 1, ms) > 0) {
      char buf[256];
      const ssize_t n = ::read(master_, buf, sizeof(buf));
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
      ms = 20;
    }
    return got;
  }
  int master_ = -1;
  int slave_ = -1;
  std::string name_;
  Handle port_ = kInvalidHandle;
  static std::string Detail() {
    return std::string(LastOsFailure().subject) + ": " + LastOsFailure().text;
  }
};

TEST_F(Pty, SettingsStickOnTheLine) {
  const Handle port = Open();
  ASSERT_NE(port, kInvalidHandle);
  ASSERT_TRUE(os.ComSetupQueues(port, 4096, 4096));
  for (uint32_t baud : {9600u, 19200u, 38400u, 57600u, 115200u}) {
    ASSERT_TRUE(os.ComSetState(port, LibrarySettings(baud, kOddParity))) << baud;
    termios t;
    ASSERT_EQ(::tcgetattr(slave_, &t), 0);
    speed_t expected;
    ASSERT_TRUE(posix::SpeedFor(baud, &expected));
    EXPECT_EQ(cfgetospeed(&t), expected) << baud;
    EXPECT_EQ(cfgetispeed(&t), expected) << baud;
    // Parity, stop bits and flow control are the translation's, checked below.
    EXPECT_NE(t.c_cflag & PARODD, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  }
  // A rate termios lacks is refused and leaves the line as it was.
  EXPECT_FALSE(os.ComSetState(port, LibrarySettings(12345, kNoParity)));
  ComState back;
  ASSERT_TRUE(os.ComGetState(port, &back));
  EXPECT_EQ(back.BaudRate, 115200u);
}

// Data bits and parity cannot be held by a pty, so the translation is checked directly.
TEST(SerialSettings, TranslationBothWays) {
  struct Case {
    uint32_t baud;
    uint8_t size;
    uint8_t parity;
    bool accepted;
    tcflag_t cflags;  // of CSIZE | PARENB | PARODD
  };
  const Case cases[] = {
      {9600, 8, kNoParity, true, CS8},
      {19200, 7, kEvenParity, true, CS7 | PARENB},
      {38400, 7, kOddParity, true, CS7 | PARENB | PARODD},
      {57600, 8, kOddParity, true, CS8 | PARENB | PARODD},
      {2400, 8, kEvenParity, true, CS8 | PARENB},
      {9600, 6, kNoParity, false, 0},
      {9600, 8, 3, false, 0},  // mark parity
      {14400, 8, kNoParity, false, 0},
      {0, 8, kNoParity, false, 0},
  };
  for (const Case &c : cases) {
    termios t{};
    t.c_cflag = CSTOPB | CRTSCTS;
    t.c_iflag = IXANY | ICRNL;
    t.c_lflag = ICANON | ECHO;
    const termios before = t;
    ComState s;
    s.BaudRate = c.baud;
    s.ByteSize = c.size;
    s.Parity = c.parity;
    s.fOutX = c.parity == kEvenParity;
    ASSERT_EQ(posix::ApplyComState(s, &t), c.accepted) << c.baud << " " << int(c.size);
    if (!c.accepted) {
      EXPECT_EQ(std::memcmp(&t, &before, sizeof(t)), 0);
      continue;
    }
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD), c.cflags) << c.baud;
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXANY | ICRNL | IXOFF), 0u);
    EXPECT_EQ((t.c_iflag & IXON) != 0, s.fOutX);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    const ComState back = posix::ReadComState(t);
    EXPECT_EQ(back.BaudRate, c.baud);
    EXPECT_EQ(back.ByteSize, c.size);
    EXPECT_EQ(back.Parity, c.parity);
    EXPECT_EQ(back.fOutX, s.fOutX);
  }
}

TEST_F(Pty, BytesFlowBothWaysAndReadsNeverBlock) {
  ASSERT_NO_FATAL_FAILURE(OpenWithTimeouts(5, 100));

  const std::string frame(
      "\x02"
      "001DIR\r\n\x00\xff",
      11);
  uint32_t written = 0;
  ASSERT_TRUE(os.ComWrite(port_, frame.data(), static_cast<uint32_t>(frame.size()), &written));
  EXPECT_EQ(written, frame.size());
  ASSERT_TRUE(os.ComTransmitChar(port_, '\x13'));
  EXPECT_EQ(Drain(500), frame + "\x13");

  char buf[16];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(os.ComRead(port_, buf, sizeof(buf)), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

  ASSERT_EQ(::write(master_, "OK\r", 3), 3);
  std::string got;
  for (int i = 0; i < 100 && got.size() < 3; ++i) {
    const uint32_t n = os.ComRead(port_, buf, sizeof(buf));
    got.append(buf, n);
    if (n == 0) ::usleep(2000);
  }
  EXPECT_EQ(got, "OK\r");  // no CR/LF translation

  // Purging the input drops what has arrived.
  ASSERT_EQ(::write(master_, "stale", 5), 5);
  ::usleep(20000);
  ASSERT_TRUE(os.ComPurge(port_, kPurgeRxClear | kPurgeTxClear));
  EXPECT_EQ(os.ComRead(port_, buf, sizeof(buf)), 0u);

  uint32_t mask = 7;
  EXPECT_TRUE(os.ComClearError(port_, &mask));
  EXPECT_EQ(mask, 0u);
}

// The input wait ends when a byte comes, when a cancel request wakes it and when the far side
// closes; a pause lasts its length while the thread sleeps through most of it, and leaves the
// thread's timer slack (the host's) as it found it.
TEST_F(Pty, WaitsEndWithDataWakeOrHangUpAndPausesSleep) {
  ASSERT_NO_FATAL_FAILURE(OpenWithTimeouts(0, 0));
  using Clock = std::chrono::steady_clock;
  const auto waitWhile = [&](const std::function<void()> &act) {
    std::thread actor([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      act();
    });
    const auto start = Clock::now();
    EXPECT_TRUE(os.ComWaitInput(port_, 5000));
    actor.join();
    return Clock::now() - start;
  };
  EXPECT_LT(waitWhile([&] { ASSERT_EQ(::write(master_, "x", 1), 1); }), std::chrono::seconds(2));
  char byte;
  EXPECT_EQ(os.ComRead(port_, &byte, 1), 1u);
  EXPECT_LT(waitWhile([&] { os.WakeWaits(); }), std::chrono::seconds(2));

  timespec cpu0, cpu1;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  ASSERT_EQ(::prctl(PR_SET_TIMERSLACK, 123456UL, 0, 0, 0), 0);
  const auto start = Clock::now();
  os.PauseUntil(os.PerfCounter() + 20000000);
  const auto took = Clock::now() - start;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  EXPECT_EQ(::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 123456);
  ::prctl(PR_SET_TIMERSLACK, 0UL, 0, 0, 0);
  EXPECT_GE(took, std::chrono::milliseconds(20));
  EXPECT_LT(took, std::chrono::milliseconds(500));
  EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1000000000 + (cpu1.tv_nsec - cpu0.tv_nsec), 5000000)
      << "a 20 ms pause spun more than 5 ms";

  uint32_t mask = 0;
  ASSERT_TRUE(os.ComClearError(port_, &mask));
  EXPECT_EQ(mask, 0u);
  EXPECT_LT(waitWhile([&] {
              ::close(master_);
              master_ = -1;
            }),
            std::chrono::seconds(2));
  ASSERT_TRUE(os.ComClearError(port_, &mask));
  EXPECT_EQ(mask, kCommIoError);
}

TEST_F(Pty, WriteGivesUpAtItsTimeout) {
  ASSERT_NO_FATAL_FAILURE(OpenWithTimeouts(0, 100));  // the master never reads: the pty fills up
  const std::string big(1 << 20, 'x');
  uint32_t written = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(os.ComWrite(port_, big.data(), static_cast<uint32_t>(big.size()), &written));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(written, big.size());
  EXPECT_GE(took, std::chrono::milliseconds(90));
  EXPECT_LT(took, std::chrono::milliseconds(1000));
}

TEST_F(Pty, OpenIsExclusiveAndNeedsATerminal) {
  const Handle port = Open();
  ASSERT_NE(port, kInvalidHandle);
  EXPECT_GT(port, 2);  // never a standard stream, never kNoHandle
  EXPECT_EQ(os.ComOpen(name_.c_str()), kInvalidHandle);
  EXPECT_EQ(Detail(), name_ + ": " + std::strerror(EBUSY));
  ASSERT_TRUE(os.ComClose(port));
  port_ = kInvalidHandle;
  const Handle again = Open();
  EXPECT_NE(again, kInvalidHandle);

  // Each refusal names its cause, which the host's user can act on.
  const struct {
    const char *name;
    int error;
    std::string detail;
  } cases[] = {{"/dev/null", ENOTTY, "/dev/null: not a serial device"},
               {"/nonexistent/tty", ENOENT, "/nonexistent/tty: No such file or directory"}};
  for (const auto &c : cases) {
    LastOsFailure() = OsFailure{};
    EXPECT_EQ(os.ComOpen(c.name), kInvalidHandle) << c.name;
    EXPECT_EQ(LastOsFailure().number, c.error) << c.name;
    EXPECT_EQ(Detail(), c.detail);
  }
  EXPECT_EQ(os.ComOpen(""), kInvalidHandle);
  EXPECT_STREQ(os.DefaultPortName(1), "/dev/ttyS0");
  EXPECT_STREQ(os.DefaultPortName(4), "/dev/ttyS3");
  EXPECT_EQ(os.DefaultPortName(5), nullptr);
}

// A port the user may not open; root is let in everywhere, so a child of root gives its
// privileges up first.
TEST_F(Pty, PermissionDeniedIsNamed) {
  auto refused = [this] {
    return os.ComOpen(name_.c_str()) == kInvalidHandle && LastOsFailure().number == EACCES &&
           Detail() == name_ + ": " + std::strerror(EACCES);
  };
  ASSERT_EQ(::chmod(name_.c_str(), ::geteuid() == 0 ? 0600 : 0), 0);
  if (::geteuid() != 0) {
    EXPECT_TRUE(refused());
    return;
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    ::_exit(refused() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(PosixFiles, LockedReadWriteAndDelete) {
  Platform &os = NativePlatform();
  const std::string path = ::testing::TempDir() + "veldc_posix_file.txt";
  const Handle w = os.FileCreate(path.c_str());
  ASSERT_NE(w, kInvalidHandle);
  EXPECT_EQ(os.FileOpenRead(path.c_str()), kInvalidHandle);  // not shared
  EXPECT_EQ(os.FileCreate(path.c_str()), kInvalidHandle);
  ASSERT_TRUE(os.FileWrite(w, "AB\r\nCD\r\n", 8));
  ASSERT_TRUE(os.FileClose(w));

  const Handle r = os.FileOpenRead(path.c_str());
  ASSERT_NE(r, kInvalidHandle);
  EXPECT_EQ(os.FileOpenRead(path.c_str()), kInvalidHandle);
  EXPECT_EQ(os.FileSize(r), 8u);
  char buf[4];
  uint32_t got = 0;
  ASSERT_TRUE(os.FileRead(r, buf, 4, &got));
  EXPECT_EQ(std::string(buf, got), "AB\r\n");
  ASSERT_TRUE(os.FileRead(r, buf, 4, &got));
  ASSERT_TRUE(os.FileRead(r, buf, 4, &got));
  EXPECT_EQ(got, 0u);  // end of file
  ASSERT_TRUE(os.FileClose(r));

  // Creating truncates.
  const Handle w2 = os.FileCreate(path.c_str());
  ASSERT_NE(w2, kInvalidHandle);
  EXPECT_EQ(os.FileSize(w2), 0u);
  ASSERT_TRUE(os.FileClose(w2));
  EXPECT_TRUE(os.FileDelete(path.c_str()));
  EXPECT_FALSE(os.FileDelete(path.c_str()));
  EXPECT_EQ(os.FileOpenRead(path.c_str()), kInvalidHandle);
  EXPECT_EQ(os.FileOpenRead(::testing::TempDir().c_str()), kInvalidHandle);  // a directory
}

// A handle that is none (0, -1, the standard streams, a closed descriptor) is refused by every
// call, and null out-pointers are not written: a stray handle must never reach stdin or a
// descriptor someone else now holds.
TEST(PosixBackend, HandlesThatAreNoneAreRefused) {
  Platform &os = NativePlatform();
  const int closed = ::open("/dev/null", O_RDONLY);
  ::close(closed);
  char buf[8];
  uint32_t n = 7;
  ComState state;
  for (const Handle h : {kNoHandle, kInvalidHandle, Handle{1}, Handle{closed}}) {
    SCOPED_TRACE(h);
    EXPECT_FALSE(os.ComGetState(h, &state));
    EXPECT_FALSE(os.ComSetState(h, state));
    EXPECT_FALSE(os.ComSetTimeouts(h, ComTimeouts{}));
    EXPECT_FALSE(os.ComWrite(h, "x", 1, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(os.ComRead(h, buf, sizeof buf), 0u);
    EXPECT_FALSE(os.ComTransmitChar(h, 'x'));
    EXPECT_FALSE(os.ComClose(h));
    EXPECT_FALSE(os.FileRead(h, buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(os.FileWrite(h, "x", 1));
    EXPECT_EQ(os.FileSize(h), 0xFFFFFFFFu);
    EXPECT_FALSE(os.FileClose(h));
    if (h <= 2) {
      EXPECT_FALSE(os.ComSetupQueues(h, 1024, 1024));
      EXPECT_FALSE(os.ComPurge(h, kPurgeRxClear | kPurgeTxClear));
      EXPECT_FALSE(os.ComClearError(h, &n));
      EXPECT_EQ(n, 0u);
      EXPECT_FALSE(os.ComWaitInput(h, 1));
    }
  }
  EXPECT_FALSE(os.ComGetState(kInvalidHandle, nullptr));
  EXPECT_FALSE(os.ComWrite(kInvalidHandle, "x", 1, nullptr));
  EXPECT_FALSE(os.FileRead(kInvalidHandle, buf, 1, nullptr));
  EXPECT_EQ(os.ComOpen(nullptr), kInvalidHandle);
  EXPECT_EQ(os.ComOpen(""), kInvalidHandle);
  EXPECT_EQ(os.ComOpen("/dev/null"), kInvalidHandle) << "not a terminal";
  EXPECT_EQ(os.ComOpen("/no/such/tty"), kInvalidHandle);
  EXPECT_FALSE(os.FileDelete(nullptr));
  EXPECT_EQ(os.FileCreate(nullptr), kInvalidHandle);
  EXPECT_EQ(os.FileOpenRead(nullptr), kInvalidHandle);
  EXPECT_EQ(os.FileCreate("/no/such/dir/file"), kInvalidHandle);
  EXPECT_EQ(os.ModuleSymbol(kNoHandle, "recv"), nullptr);
  EXPECT_EQ(os.ModuleSymbol(os.ModuleLoad("WSOCK32.DLL"), nullptr), nullptr);
  EXPECT_EQ(os.ModuleEntry(os.ModuleLoad("WSOCK32.DLL"), 1, "recv"), nullptr);
  EXPECT_FALSE(os.ModuleFree(kNoHandle));
  EXPECT_FALSE(os.ModuleOnSearchPath(nullptr));
  EXPECT_FALSE(os.ModuleOnSearchPath("WSOCK32"));
  EXPECT_FALSE(os.ModuleOnSearchPath("WSOCK32.DLL.X"));
  EXPECT_FALSE(os.FileVersion(nullptr, nullptr, nullptr));
  EXPECT_TRUE(os.FileVersion("veldc.dll", nullptr, nullptr));
  EXPECT_EQ(os.DefaultPortName(0), nullptr);
  EXPECT_FALSE(os.SocketWaitInput(~WsSocket{0}, 1));
}

// A write the system refuses part-way (here the process's file-size limit, as a full disk
// would) fails: an upload then removes the file, as the fault matrix checks for every write.
TEST(PosixFiles, AWriteTheSystemRefusesFails) {
  const std::string path = ::testing::TempDir() + "veldc_fsize_" + std::to_string(::getpid());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    Platform &os = NativePlatform();
    const Handle h = os.FileCreate(path.c_str());
    const std::string block(64, 'x');
    const bool first = h != kInvalidHandle && os.FileWrite(h, block.data(), 64);
    const bool second = os.FileWrite(h, block.data(), 64);
    os.FileClose(h);
    ::_exit(first && !second ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second write must fail";
  ::unlink(path.c_str());
}

TEST(PosixModules, BuiltInWinSockAndOwnVersion) {
  Platform &os = NativePlatform();
  EXPECT_TRUE(os.ModuleOnSearchPath("WSOCK32.DLL"));
  const Handle ws = os.ModuleLoad("wsock32.dll");
  ASSERT_NE(ws, kNoHandle);
  for (const char *name : kWinSockEntryNames) EXPECT_NE(os.ModuleSymbol(ws, name), nullptr);
  EXPECT_EQ(os.ModuleSymbol(ws, "WSAAsyncSelect"), nullptr);
  EXPECT_TRUE(os.ModuleFree(ws));
  EXPECT_EQ(os.ModuleLoad("OTHER.DLL"), kNoHandle);
  // No driver on the loader's path here; the Kov74 stand-in test loads one through it.
  EXPECT_FALSE(os.ModuleOnSearchPath("KOV74C.DLL"));
  EXPECT_EQ(os.ModuleLoad("KOV74C.DLL"), kNoHandle);
  EXPECT_NE(os.SelfModule(), kNoHandle);

  // The version block is the project's "major.minor.patch.tweak".
  uint32_t ms = 0, ls = 0;
  ASSERT_TRUE(os.FileVersion("VELDC.DLL", &ms, &ls));
  const std::string text = std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
                           std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
  EXPECT_EQ(text, "1.0.1.0");
  EXPECT_FALSE(os.FileVersion("KOV74C.DLL", &ms, &ls));
}

TEST(PosixTime, ClockUnits) {
  Platform &os = NativePlatform();
  EXPECT_EQ(os.PerfFrequency(), 1000000000);
  const int64_t c0 = os.PerfCounter();
  const uint32_t t0 = os.TickCount();
  os.SleepMs(30);
  const int64_t c1 = os.PerfCounter();
  const uint32_t t1 = os.TickCount();
  EXPECT_GE(c1 - c0, 30000000);
  EXPECT_LT(c1 - c0, 500000000);
  EXPECT_GE(t1 - t0, 29u);
  EXPECT_LT(t1 - t0, 500u);
  EXPECT_GE(os.UtcYear(), 2024);
}

}  // namespace
}  // namespace veldc::platform
