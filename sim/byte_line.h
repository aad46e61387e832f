// What every simulated serial line offers its transport: bytes from the host in, bytes for the
// host out when they are due. The same shape as the test backend's serial peer, so a thin adapter
// serves a model to unit tests, a pty or a device path alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace veldc::sim {

// Virtual or real microseconds, as the caller counts them; models never read a clock.
using Micros = uint64_t;

constexpr Micros kMillis = 1000;

class ByteLine {
 public:
  virtual ~ByteLine() = default;
  virtual void FromHost(const uint8_t *data, size_t length, Micros now) = 0;
  // Appends the bytes that are due at or before `now`.
  virtual void ToHost(Micros now, std::string *out) = 0;
  // The earliest instant at which more output may become due; kNever when none is pending.
  virtual Micros NextDue() const = 0;

  void FromHost(const std::string &bytes, Micros now) {
    FromHost(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), now);
  }
  static constexpr Micros kNever = ~static_cast<Micros>(0);
};

}  // namespace veldc::sim
