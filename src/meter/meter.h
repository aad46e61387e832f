// The progress meters: the switch, the transfer meter of the file transfers and the connect
// meter of the Pelo link set-up. Windows shows them as dialogs (templates 110 and 111); every
// platform also reports them to the host's progress callback (SetProgressCallback).
#pragma once

#include <cstdint>

#include "platform/meter_ui.h"
#include "platform/platform.h"

namespace veldc::meter {

// The meter switch (EnableMeter); any non-zero value is on.
bool MeterEnabled();
// The module whose dialog templates the meters are made from (set as a device opens).
void SetMeterModule(platform::Handle module);

void OpenTransferMeter();
void UpdateTransferMeter(int32_t records, int32_t total, int32_t step);
void CloseTransferMeter();

// The connect meter's bar spans `timeoutMs`, the WinSock time-out.
void OpenConnectMeter(uint32_t timeoutMs);
void SetConnectText(int item, const char *text);
void ConnectProgress(uint32_t elapsedMs);
void CloseConnectMeter();

// One meter for the length of one operation, closed on every way out of it. With the switch
// off it does nothing at all.
class MeterScope {
 public:
  enum class Kind { kTransfer, kConnect };
  // `connectTimeoutMs`: the connect meter's span.
  explicit MeterScope(Kind kind, uint32_t connectTimeoutMs = 0)
      : kind_(kind), on_(MeterEnabled()), connectTimeoutMs_(connectTimeoutMs) {}
  ~MeterScope() { Close(); }
  MeterScope(const MeterScope &) = delete;
  MeterScope &operator=(const MeterScope &) = delete;

  bool On() const { return on_; }
  void Open();
  void Close();

 private:
  Kind kind_;
  bool on_;
  uint32_t connectTimeoutMs_;
  bool open_ = false;
};

void ResetMeterState();

}  // namespace veldc::meter
