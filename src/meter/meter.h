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

void ResetMeterState();

}  // namespace veldc::meter
