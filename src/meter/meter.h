// The progress meters: the switch, the transfer meter of the file transfers and the connect
// meter of the Pelo link set-up. Windows shows them as dialogs (templates 110 and 111); every
// platform also reports them to the host's progress callback (SetProgressCallback).
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

// The meter switch (EnableMeter); any non-zero value is on.
bool MeterEnabled();

void OpenTransferMeter();
void UpdateTransferMeter(int32_t records, int32_t total, int32_t step);
void CloseTransferMeter();

void OpenConnectMeter();
void SetConnectText(int item, const char *text);
void ConnectProgress(uint32_t elapsedMs);
void CloseConnectMeter();

// One meter for the length of one operation, closed on every way out of it. With the switch
// off it does nothing at all.
class MeterScope {
 public:
  enum class Kind { kTransfer, kConnect };
  explicit MeterScope(Kind kind) : kind_(kind), on_(MeterEnabled()) {}
  ~MeterScope() { Close(); }
  MeterScope(const MeterScope &) = delete;
  MeterScope &operator=(const MeterScope &) = delete;

  bool On() const { return on_; }
  void Open();
  void Close();

 private:
  Kind kind_;
  bool on_;
  bool open_ = false;
};

void ResetMeterState();

}  // namespace veldc::meter
