// Bar arithmetic of the two meter dialogs.
#include "platform/meter_ui.h"

namespace veldc::meter {

TransferBar TransferMeterBar;
uint32_t dwConnectMeterSpanMs = 0;

int32_t TransferBar::Advance(uint32_t total, uint32_t step, int32_t width) {
  accumulated += step;
  if (total == 0 || width <= 0) return width;
  // The product is taken in 64 bits: a 32-bit one would wrap on a large file and shrink the bar.
  const uint64_t right = static_cast<uint64_t>(accumulated) * static_cast<uint32_t>(width) / total;
  return right < static_cast<uint64_t>(width) ? static_cast<int32_t>(right) : width;
}

int32_t ConnectBarRight(int32_t width, int32_t elapsedMs, uint32_t timeoutMs) {
  const int32_t timeout = static_cast<int32_t>(timeoutMs);
  if (timeout == 0) return width;
  return static_cast<int32_t>(static_cast<int64_t>(width) * elapsedMs / timeout);
}

}  // namespace veldc::meter
