// The Kov74 driver stand-in: its five calls and test control as a loaded library, and the
// library driving its terminals through it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "veldc.h"

#ifdef KOV74C_PATH

namespace {

constexpr char kChildMarker[] = "VELDC_KOV74_CHILD";

using OpenFn = int (*)(int, int, int, int);
using IntFn = int (*)(int);
using VoidFn = int (*)();
using PollFn = int (*)(int, char *);
using SendFn = int (*)(int, const char *);
using ControlFn = int (*)(const char *);

class Kov74StandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(KOV74C_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    open_ = reinterpret_cast<OpenFn>(dlsym(handle_, "Kov74Open"));
    speed_ = reinterpret_cast<IntFn>(dlsym(handle_, "Kov74SetSpeed"));
    close_ = reinterpret_cast<VoidFn>(dlsym(handle_, "Kov74Close"));
    poll_ = reinterpret_cast<PollFn>(dlsym(handle_, "Kov74Poll"));
    send_ = reinterpret_cast<SendFn>(dlsym(handle_, "Kov74Send"));
    control_ = reinterpret_cast<ControlFn>(dlsym(handle_, "Kov74SimControl"));
    ASSERT_TRUE(open_ && speed_ && close_ && poll_ && send_ && control_);
    ASSERT_EQ(control_("reset;terminals=3"), 0);
  }
  void TearDown() override {
    if (close_ != nullptr) close_();
    if (handle_ != nullptr) dlclose(handle_);
  }
  // Polls for up to a second until a message arrives.
  int PollFor(int address, char *record) {
    for (int i = 0; i < 200; ++i) {
      const int r = poll_(address, record);
      if (r == 2) return r;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return poll_(address, record);
  }

  void *handle_ = nullptr;
  OpenFn open_ = nullptr;
  IntFn speed_ = nullptr;
  VoidFn close_ = nullptr;
  PollFn poll_ = nullptr;
  SendFn send_ = nullptr;
  ControlFn control_ = nullptr;
};

TEST_F(Kov74StandIn, DriverContract) {
  // The results themselves are the simulated network's; here: the exports reach it.
  EXPECT_EQ(close_(), -255);
  ASSERT_EQ(open_(1, 0, 254, -1), 1);
  EXPECT_EQ(speed_(3), 0);

  char record[256] = {};
  EXPECT_EQ(poll_(3, record), 1);
  EXPECT_EQ(poll_(4, record), 0);
  ASSERT_EQ(send_(3, "CFG 89"), 0);
  ASSERT_EQ(PollFor(3, record), 2);
  EXPECT_EQ(record[0], 3);
  EXPECT_STREQ(record + 1, "CFG 89 80264");

  ASSERT_EQ(control_("send=1"), 0);
  EXPECT_EQ(send_(3, "%XI"), 1);
  ASSERT_EQ(control_("send=0;from=9"), 0);
  EXPECT_EQ(send_(3, "%XI"), 0) << "an overridden result is returned without sending";
  ASSERT_EQ(control_("reset;from=9"), 0);
  ASSERT_EQ(send_(3, "%XI"), 0);
  ASSERT_EQ(PollFor(3, record), 2);
  EXPECT_EQ(record[0], 9);
  EXPECT_STREQ(record + 1, "Veld V2.10 RAM F");
  EXPECT_EQ(control_("nonsense=1"), -1);
  EXPECT_EQ(control_(nullptr), -1);
  EXPECT_EQ(close_(), 0);
  EXPECT_EQ(close_(), -255);
}

// Runs in a child whose LD_LIBRARY_PATH finds the stand-in under the name the library loads.
TEST(Kov74StandInChild, LibraryThroughTheStandIn) {
  if (std::getenv(kChildMarker) == nullptr) GTEST_SKIP() << "runs only in the child";
  ASSERT_EQ(InitCOMM(1, DEV_KOV74_MODE1, 19200, 0), 1);
  ASSERT_EQ(SetTerminal(2), 0);
  char value[VELDC_REPLY_SIZE] = {};
  EXPECT_EQ(GetParameter(89, value), 0);
  EXPECT_STREQ(value, "80264");
  EXPECT_EQ(ExitCOMM(), 0);
  // The environment's settings are read at every open: now replies come from terminal 7.
  setenv("KOV74C_SIM", "from=7", 1);
  ASSERT_EQ(InitCOMM(1, DEV_KOV74_MODE0, 0, 0), 1);
  ASSERT_EQ(ChgTerminal(2), 0);
  char reply[VELDC_REPLY_SIZE] = {};
  EXPECT_EQ(SendCommand("%XI", reply), -1);
  char text[VELDC_ERROR_TEXT_SIZE] = {};
  EXPECT_EQ(GetError(text), 41);
  EXPECT_EQ(ExitCOMM(), 0);
}

TEST(Kov74StandInProcess, LibraryLoadsTheStandIn) {
  std::string dir = KOV74C_PATH;
  dir.erase(dir.rfind('/'));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("LD_LIBRARY_PATH", dir.c_str(), 1);
    setenv(kChildMarker, "1", 1);
    unsetenv("KOV74C_SIM");
    execl("/proc/self/exe", "child", "--gtest_filter=Kov74StandInChild.*", nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

#endif
