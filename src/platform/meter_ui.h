// What the meter windows are made of: the dialog templates, their items and the progress
// message, and the bar arithmetic of the two dialogs, kept portable so it is tested on every
// platform; the Windows dialog procedures only draw what these compute.
#pragma once

#include <cstdint>

namespace veldc::meter {

constexpr int kTransferTemplate = 110;
constexpr int kConnectTemplate = 111;
constexpr uint32_t kProgressMessage = 1234;

// Transfer meter items.
constexpr int kItemRecords = 109;
constexpr int kItemTotal = 1008;
constexpr int kItemTransferBar = 103;
// Connect meter items.
constexpr int kItemConnectBar = 107;
constexpr int kItemAddress = 106;
constexpr int kItemStatus = 105;

// Transfer meter: the accumulated progress grows by each step; the bar covers
// accumulated * width / total (unsigned 32-bit), never more than the control's width.
// A total of 0 fills the whole bar.
struct TransferBar {
  uint32_t accumulated = 0;
  void Reset() { accumulated = 0; }
  // Adds the step and returns the bar's right edge for a control `width` wide.
  int32_t Advance(uint32_t total, uint32_t step, int32_t width);
};

// The transfer meter dialog's progress: reset when the dialog starts, advanced by each
// progress message.
extern TransferBar TransferMeterBar;

// Connect meter: right edge = width * elapsed / timeout, signed 32-bit, no upper clamp.
int32_t ConnectBarRight(int32_t width, int32_t elapsedMs, uint32_t timeoutMs);
// The time-out the open connect meter spans (set as it opens).
extern uint32_t dwConnectMeterSpanMs;

}  // namespace veldc::meter
