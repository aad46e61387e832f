// Common ground of the unit tests: the virtual platform installed, a scripted line on the COM
// port, and short ways to read the error state.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/virtual/virtual_platform.h"
#include "support/script_peer.h"
#include "support/test_platform.h"
#include "veldc.h"

namespace veldc::test {

using platform::virt::Call;
using platform::virt::VirtualPlatform;

// The code and the message GetError reports, as "code message".
std::string ErrorState();

// Passes when `took` lies in [low, high): EXPECT_TRUE(Within(vp.Now() - start, 999000, 1010000)).
inline ::testing::AssertionResult Within(uint64_t took, uint64_t low, uint64_t high) {
  if (took >= low && took < high) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << took << " is not within [" << low << ", " << high << ")";
}

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override { vp.AttachSerial(&peer); }
  // Opens COM1 as `kind` and forgets the set-up traffic.
  void Open(int kind, int speed = 9600);
  // Opens `kind` with terminal `address` selected, without selection traffic.
  void Select(int kind, int address);
  // The bytes the library wrote since the last ClearWritten.
  std::string Written() const { return vp.Written(); }
  // The instant of the first write that contains `bytes` (or ~0 when none does).
  platform::virt::Micros WriteTime(const std::string &bytes) const;

  TestPlatform vp;
  ScriptPeer peer;
};

class Kov74Test : public ::testing::Test {
 protected:
  void SetUp() override { vp.SetKov74(&driver); }
  void Open(int kind = DEV_KOV74_MODE0);

  TestPlatform vp;
  ScriptKov74 driver;
};

}  // namespace veldc::test
