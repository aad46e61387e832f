// The POSIX port, file and module calls on a real pty and real files (their common paths and
// every system call's failure are in posix_syscalls_test.cpp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/serial_settings.h"

namespace veldc::platform {
namespace {

using Clock = std::chrono::steady_clock;

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

// A pty whose slave the backend opens; the test keeps the master and its own slave descriptor
// (to read the settings back).
class Pty : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    name_ = name;
  }
  void TearDown() override {
    if (port_ != kInvalidHandle) os.ComClose(port_);
    close(master_);
    close(slave_);
  }
  void Open() {
    port_ = os.ComOpen(name_.c_str());
    ASSERT_NE(port_, kInvalidHandle);
    ASSERT_TRUE(os.ComSetState(port_, LibrarySettings(9600, kNoParity)));
  }
  Platform &os = NativePlatform();
  int master_ = -1, slave_ = -1;
  std::string name_;
  Handle port_ = kInvalidHandle;
};

// The line is held alone (never as a standard stream) and free again once closed; the library's
// settings reach it as termios flags.
TEST_F(Pty, OpenAloneAndSettingsStick) {
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_GT(port_, 2);
  EXPECT_EQ(os.ComOpen(name_.c_str()), kInvalidHandle);
  EXPECT_EQ(LastOsFailure().number, EBUSY);
  ASSERT_TRUE(os.ComSetupQueues(port_, 4096, 4096));
  for (uint32_t baud : {9600u, 115200u}) {
    ASSERT_TRUE(os.ComSetState(port_, LibrarySettings(baud, kOddParity))) << baud;
    termios t;
    ASSERT_EQ(tcgetattr(slave_, &t), 0);
    speed_t expected;
    ASSERT_TRUE(posix::SpeedFor(baud, &expected));
    EXPECT_TRUE(cfgetospeed(&t) == expected && cfgetispeed(&t) == expected) << baud;
    EXPECT_NE(t.c_cflag & PARODD, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN] + t.c_cc[VTIME], 0);
    EXPECT_TRUE(t.c_cc[VSTART] == 0x11 && t.c_cc[VSTOP] == 0x13);
  }
  // A rate termios lacks is refused and leaves the line as it was.
  EXPECT_FALSE(os.ComSetState(port_, LibrarySettings(12345, kNoParity)));
  ComState back;
  ASSERT_TRUE(os.ComGetState(port_, &back));
  EXPECT_EQ(back.BaudRate, 115200u);
  ASSERT_TRUE(os.ComClose(port_));
  port_ = os.ComOpen(name_.c_str());
  EXPECT_NE(port_, kInvalidHandle);
}

// Data bits and parity cannot be held by a pty, so the translation is checked directly.
TEST(SerialSettings, TranslationBothWays) {
  const struct {
    uint32_t baud;
    uint8_t size, parity;
    bool accepted;
    tcflag_t cflags;  // of CSIZE | PARENB | PARODD
  } cases[] = {
      {9600, 8, kNoParity, true, CS8},
      {19200, 7, kEvenParity, true, CS7 | PARENB},
      {38400, 7, kOddParity, true, CS7 | PARENB | PARODD},
      {57600, 8, kOddParity, true, CS8 | PARENB | PARODD},
      {9600, 6, kNoParity, false, 0},
      {9600, 8, 3, false, 0},  // mark parity
      {14400, 8, kNoParity, false, 0},
  };
  for (const auto &c : cases) {
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
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), c.cflags) << c.baud;
    EXPECT_EQ(t.c_iflag & (IXANY | ICRNL | IXOFF), 0u);
    EXPECT_EQ((t.c_iflag & IXON) != 0, s.fOutX);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    const ComState back = posix::ReadComState(t);
    EXPECT_TRUE(back.BaudRate == c.baud && back.ByteSize == c.size && back.Parity == c.parity &&
                back.fOutX == s.fOutX)
        << "read back " << c.baud;
  }
  // A line another program left at 5 or 6 bits reads back as such.
  for (const auto &[size, bits] : {std::pair{CS5, 5}, {CS6, 6}}) {
    termios t{};
    t.c_cflag = size;
    EXPECT_EQ(posix::ReadComState(t).ByteSize, bits);
  }
}

// The input wait ends when a byte comes, when a cancel request wakes it and when the far side
// closes; a pause lasts its length while the thread sleeps through most of it, and leaves the
// thread's timer slack (the host's) as it found it.
TEST_F(Pty, WaitsEndWithDataWakeOrHangUpAndPausesSleep) {
  ASSERT_NO_FATAL_FAILURE(Open());
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
  EXPECT_LT(waitWhile([&] { ASSERT_EQ(write(master_, "x", 1), 1); }), std::chrono::seconds(2));
  char byte;
  EXPECT_EQ(os.ComRead(port_, &byte, 1), 1u);
  EXPECT_LT(waitWhile([&] { os.WakeWaits(); }), std::chrono::seconds(2));

  timespec cpu0, cpu1;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 123456UL, 0, 0, 0), 0);
  const auto start = Clock::now();
  const int64_t counter = os.PerfCounter();
  const uint32_t tick = os.TickCount();
  os.PauseUntil(os.PerfCounter() + 20000000);
  os.SleepMs(30);
  const auto took = Clock::now() - start;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 123456);
  prctl(PR_SET_TIMERSLACK, 0UL, 0, 0, 0);
  EXPECT_GE(took, std::chrono::milliseconds(50));
  EXPECT_LT(took, std::chrono::milliseconds(600));
  EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1000000000 + (cpu1.tv_nsec - cpu0.tv_nsec), 5000000)
      << "a 20 ms pause and a 30 ms sleep spun more than 5 ms";
  EXPECT_EQ(os.PerfFrequency(), 1000000000);
  EXPECT_GE(os.PerfCounter() - counter, 50000000);
  EXPECT_GE(os.TickCount() - tick, 49u);
  EXPECT_GE(os.UtcYear(), 2024);

  uint32_t mask = 0;
  ASSERT_TRUE(os.ComClearError(port_, &mask));
  EXPECT_EQ(mask, 0u);
  EXPECT_LT(waitWhile([&] { close(master_), master_ = -1; }), std::chrono::seconds(2));
  ASSERT_TRUE(os.ComClearError(port_, &mask));
  EXPECT_EQ(mask, kCommIoError);
}

// A write the system refuses part-way (here the file-size limit, as a full disk would) fails,
// so an upload then removes the file.
TEST(PosixFiles, AWriteRefusedPartWayFails) {
  Platform &os = NativePlatform();
  const std::string path = ::testing::TempDir() + "veldc_posix_file_" + std::to_string(getpid());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    const Handle h = os.FileCreate(path.c_str());
    const std::string block(64, 'x');
    const bool first = h != kInvalidHandle && os.FileWrite(h, block.data(), 64);
    _exit(first && !os.FileWrite(h, block.data(), 64) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the second write must fail";
  unlink(path.c_str());
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
    EXPECT_TRUE(!os.FileRead(h, buf, sizeof buf, &n) && n == 0);
    EXPECT_EQ(os.FileSize(h), 0xFFFFFFFFu);
    if (h > 2) continue;
    EXPECT_FALSE(os.ComSetupQueues(h, 1024, 1024) ||
                 os.ComPurge(h, kPurgeRxClear | kPurgeTxClear) || os.ComWaitInput(h, 1));
    EXPECT_TRUE(!os.ComClearError(h, &n) && n == 0);
  }
  EXPECT_FALSE(os.ComGetState(kInvalidHandle, nullptr) ||
               os.ComWrite(kInvalidHandle, "x", 1, nullptr) ||
               os.FileRead(kInvalidHandle, buf, 1, nullptr) || os.FileDelete(nullptr));
  for (const char *name : {static_cast<const char *>(nullptr), "", "/dev/null", "/no/such/tty"}) {
    EXPECT_EQ(os.ComOpen(name), kInvalidHandle) << (name ? name : "null");
  }
  EXPECT_EQ(os.FileCreate(nullptr), kInvalidHandle);
  EXPECT_EQ(os.FileOpenRead(nullptr), kInvalidHandle);
  EXPECT_EQ(os.FileCreate("/no/such/dir/file"), kInvalidHandle);
  EXPECT_EQ(os.FileOpenRead(::testing::TempDir().c_str()), kInvalidHandle);  // a directory
  EXPECT_EQ(os.ModuleSymbol(kNoHandle, "recv"), nullptr);
  EXPECT_EQ(os.ModuleSymbol(os.ModuleLoad("WSOCK32.DLL"), nullptr), nullptr);
  EXPECT_EQ(os.ModuleEntry(os.ModuleLoad("WSOCK32.DLL"), 1, "recv"), nullptr);
  EXPECT_FALSE(os.ModuleFree(kNoHandle) || os.ModuleOnSearchPath(nullptr) ||
               os.ModuleOnSearchPath("WSOCK32") || os.ModuleOnSearchPath("WSOCK32.DLL.X") ||
               os.FileVersion(nullptr, nullptr, nullptr) || os.SocketWaitInput(~WsSocket{0}, 1));
  EXPECT_TRUE(os.FileVersion("veldc.dll", nullptr, nullptr));
  EXPECT_FALSE(os.DefaultPortName(0) || os.DefaultPortName(5));
  EXPECT_STREQ(os.DefaultPortName(1), "/dev/ttyS0");
  EXPECT_STREQ(os.DefaultPortName(4), "/dev/ttyS3");
  // The built-in WinSock by name, whatever the case, and the library's own version.
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
  uint32_t ms = 0, ls = 0;
  ASSERT_TRUE(os.FileVersion("VELDC.DLL", &ms, &ls));
  EXPECT_TRUE(ms == 0x10000 && ls == 0x10000) << "1.0.1.0: " << ms << " " << ls;
  EXPECT_FALSE(os.FileVersion("KOV74C.DLL", &ms, &ls));
}

}  // namespace
}  // namespace veldc::platform
