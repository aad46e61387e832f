// The library driving its terminals through the Kov74 driver stand-in, loaded by the name the
// library asks for.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "veldc.h"

#ifdef KOV74C_PATH

namespace {

constexpr char kChildMarker[] = "VELDC_KOV74_CHILD";

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
