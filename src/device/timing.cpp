#include "device/timing.h"

#include "platform/platform.h"

namespace veldc::device {

using platform::Os;

void WaitMs(int32_t ms) {
  auto &os = Os();
  const int64_t ticksPerMs = os.PerfFrequency() / 1000;
  const int64_t deadline = os.PerfCounter() + static_cast<int64_t>(ms) * ticksPerMs;
  if (ms <= 0) return;
  os.PauseUntil(deadline);
}

Deadline::Deadline(uint32_t limitMs) : start_(Os().TickCount()), limit_(limitMs) {}

Deadline Deadline::HalfSeconds(int64_t units) {
  // A negative count can only come from a caller's negative time-out: treat it as none.
  // Huge counts are held at the longest wait the tick difference can measure.
  if (units <= 0) return Deadline(0);
  const int64_t ms = units * 500;
  return Deadline(ms > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(ms));
}

bool Deadline::Expired() const { return ElapsedMs() >= limit_; }

uint32_t Deadline::ElapsedMs() const { return Os().TickCount() - start_; }

uint32_t Deadline::RemainingMs() const {
  const uint32_t elapsed = ElapsedMs();
  return elapsed >= limit_ ? 0 : limit_ - elapsed;
}

}  // namespace veldc::device
