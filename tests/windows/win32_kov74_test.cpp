// The Kov74 kinds under Windows: the library finds KOV74C.DLL on the search path, binds its
// entries by ordinal and talks to the stand-in's simulated terminals (addresses 1..3).
#include <gtest/gtest.h>

#include <cstring>

#include "veldc.h"

namespace veldc::test {
namespace {

TEST(Win32Kov74, SessionThroughTheDriverByOrdinal) {
  for (const auto &[kind, speed] :
       {std::pair{DEV_KOV74_MODE0, 0}, {DEV_KOV74_MODE1, 9600}, {DEV_KOV74_MODE2, 57600}}) {
    char time[VELDC_REPLY_SIZE] = {};
    ASSERT_TRUE(InitCOMM(1, kind, speed, 0) > 0 && SetTerminal(2) == 0 && GetTime(time) == 0)
        << kind << ": " << GetError(time) << " " << time;
    EXPECT_EQ(std::strlen(time), 6u) << kind << ": " << time;
    EXPECT_EQ(ExitCOMM(), 0);
  }
}

}  // namespace
}  // namespace veldc::test
