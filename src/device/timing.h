// Pauses and time-outs. A pause lasts at least its length, measured on the performance
// counter (Windows spins through it, POSIX sleeps through most of it); time-outs compare
// unsigned 32-bit tick differences, so they survive the tick count's wrap.
#pragma once

#include <cstdint>

namespace veldc::device {

void WaitMs(int32_t ms);

class Deadline {
 public:
  explicit Deadline(uint32_t limitMs);
  // Half-second units, as the reply readers count their waits.
  static Deadline HalfSeconds(int64_t units);
  bool Expired() const;
  uint32_t ElapsedMs() const;
  uint32_t RemainingMs() const;

 private:
  uint32_t start_;
  uint32_t limit_;
};

}  // namespace veldc::device
