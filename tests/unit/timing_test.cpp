// Pauses on the performance counter and time-outs on the tick count, across their wraps.
#include "device/timing.h"

#include <chrono>

#include "support/fixture.h"
#include "support/test_platform.h"

namespace veldc::test {
namespace {

using device::Deadline;
using device::WaitMs;

class Timing : public ::testing::Test {
 protected:
  TestPlatform vp;
};

TEST_F(Timing, PausesLastTheirLengthAlsoWhereTheCounterPassesThirtyTwoBits) {
  const auto real = std::chrono::steady_clock::now();
  for (const int64_t start : {int64_t{0}, int64_t{0xFFFFFFFF} - 3000, int64_t{1} << 40}) {
    vp.SetCounterStart(start);
    for (const int ms : {1, 2, 750, 2000}) {
      const auto before = vp.Now();
      WaitMs(ms);
      const auto took = vp.Now() - before;
      EXPECT_TRUE(Within(took, ms * 1000u, ms * 1000u + 100u)) << start << " " << ms;
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - real, std::chrono::seconds(1))
      << "8 s of virtual pauses cost real time";
  const auto before = vp.Now();
  WaitMs(0);
  WaitMs(-5);
  EXPECT_LT(vp.Now() - before, 100u);
}

TEST_F(Timing, TimeOutsSurviveTheTickCountWrap) {
  for (const uint32_t start : {0u, 0xFFFFFFFFu - 200u, 0xFFFFFFFFu}) {
    vp.SetTickStart(start);
    const Deadline deadline(500);
    const auto before = vp.Now();
    while (!deadline.Expired()) {
    }
    const auto took = vp.Now() - before;
    EXPECT_TRUE(Within(took, 499000u, 501000u)) << start;
  }
}

TEST_F(Timing, HalfSecondUnits) {
  struct {
    int64_t units;
    uint32_t ms;
  } cases[] = {{1, 500}, {20, 10000}, {0, 0}, {-3, 0}, {int64_t{1} << 40, 0xFFFFFFFFu}};
  for (const auto &c : cases) {
    const Deadline d = Deadline::HalfSeconds(c.units);
    vp.Advance(static_cast<uint64_t>(c.ms) * 1000 - (c.ms ? 1000 : 0));
    EXPECT_EQ(d.Expired(), c.ms == 0) << c.units;
  }
}

}  // namespace
}  // namespace veldc::test
