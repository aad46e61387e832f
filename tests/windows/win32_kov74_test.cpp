// The Kov74 kinds under Windows: VELDC.DLL finds KOV74C.DLL on the search path, binds its
// entries by ordinal and talks to the stand-in's simulated terminals (addresses 1..3).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "windows/veldc_dll.h"

namespace veldc::test {
namespace {

TEST(Win32Kov74, SessionThroughTheDriverByOrdinal) {
  VeldcDll dll;
  ASSERT_TRUE(dll.Loaded());
  const struct {
    int kind;
    int speed;
  } cases[] = {{DEV_KOV74_MODE0, 0}, {DEV_KOV74_MODE1, 9600}, {DEV_KOV74_MODE2, 57600}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.kind);
    ASSERT_GT(dll.InitCOMM(1, c.kind, c.speed, 0), 0) << dll.Error();
    ASSERT_EQ(dll.SetTerminal(2), 0) << dll.Error();
    char time[VELDC_REPLY_SIZE] = {};
    ASSERT_EQ(dll.GetTime(time), 0) << dll.Error();
    EXPECT_EQ(std::strlen(time), 6u) << time;
    EXPECT_EQ(dll.ExitCOMM(), 0) << dll.Error();
  }
  // Still closed after the loop: a second close is refused.
  EXPECT_EQ(dll.ExitCOMM(), -1);
}

}  // namespace
}  // namespace veldc::test
