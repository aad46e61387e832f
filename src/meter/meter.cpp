// The meter switch, the one meter window and the host's progress callback.
#include "meter/meter.h"

#include "platform/platform.h"
#include "veldc.h"

namespace veldc::meter {

using platform::Handle;
using platform::kNoHandle;
using platform::Os;

namespace {

int32_t nMeterSwitch = 0;
// Both meters share one window; only one exists at a time.
Handle hMeterWindow = kNoHandle;
Handle hMeterModule = kNoHandle;

enum class Open { kNone, kTransfer, kConnect };
Open openMeter = Open::kNone;

// The transfer meter's figures as last reported, for the host's callback.
uint32_t dwProgress = 0;
int32_t nRecords = 0;
uint32_t dwTotal = 0;

VeldcProgressCallback pfnProgress = nullptr;
void *pProgressContext = nullptr;

void Report(int meter, int event, int records, uint32_t done, uint32_t total, const char *text) {
  if (pfnProgress != nullptr && MeterEnabled()) {
    pfnProgress(pProgressContext, meter, event, records, done, total, text);
  }
}

void DestroyMeterWindow() {
  if (hMeterWindow != kNoHandle) Os().MeterDestroy(hMeterWindow);
  hMeterWindow = kNoHandle;
}

// Creates the dialog from the library's own template. A missing template or module leaves
// no window: the operation goes on without one.
void CreateMeterWindow(int templateId) {
  DestroyMeterWindow();
  hMeterWindow = Os().MeterCreate(hMeterModule, templateId);
  if (hMeterWindow != kNoHandle) Os().MeterShow(hMeterWindow);
}

uint32_t ConnectTimeoutMs() { return dwConnectMeterSpanMs; }

// A meter of the other kind still open is closed first, so its host sees CLOSE before OPEN.
void CloseAny() {
  if (openMeter == Open::kTransfer) CloseTransferMeter();
  if (openMeter == Open::kConnect) CloseConnectMeter();
}

}  // namespace

bool MeterEnabled() { return nMeterSwitch != 0; }

void SetMeterModule(Handle module) { hMeterModule = module; }

void OpenTransferMeter() {
  if (!MeterEnabled()) return;
  CloseAny();
  CreateMeterWindow(kTransferTemplate);
  openMeter = Open::kTransfer;
  dwProgress = 0;
  nRecords = 0;
  dwTotal = 0;
  Report(VELDC_METER_TRANSFER, VELDC_PROGRESS_OPEN, 0, 0, 0, nullptr);
}

void UpdateTransferMeter(int32_t records, int32_t total, int32_t step) {
  if (openMeter != Open::kTransfer) return;
  if (hMeterWindow != kNoHandle) {
    Os().MeterSetItemInt(hMeterWindow, kItemRecords, records);
    Os().MeterSetItemInt(hMeterWindow, kItemTotal, total);
    Os().MeterSendProgress(hMeterWindow, static_cast<uint32_t>(total), step);
  }
  dwProgress += static_cast<uint32_t>(step);
  nRecords = records;
  dwTotal = static_cast<uint32_t>(total);
  Report(VELDC_METER_TRANSFER, VELDC_PROGRESS_STEP, records, dwProgress, dwTotal, nullptr);
}

void CloseTransferMeter() {
  if (openMeter != Open::kTransfer) return;
  DestroyMeterWindow();
  openMeter = Open::kNone;
  Report(VELDC_METER_TRANSFER, VELDC_PROGRESS_CLOSE, nRecords, dwProgress, dwTotal, nullptr);
}

void OpenConnectMeter(uint32_t timeoutMs) {
  if (!MeterEnabled()) return;
  CloseAny();
  dwConnectMeterSpanMs = timeoutMs;
  CreateMeterWindow(kConnectTemplate);
  openMeter = Open::kConnect;
  Report(VELDC_METER_CONNECT, VELDC_PROGRESS_OPEN, 0, 0, ConnectTimeoutMs(), nullptr);
}

void SetConnectText(int item, const char *text) {
  if (openMeter != Open::kConnect) return;
  if (hMeterWindow != kNoHandle) Os().MeterSetItemText(hMeterWindow, item, text);
  if (item == kItemStatus) {
    Report(VELDC_METER_CONNECT, VELDC_PROGRESS_TEXT, 0, 0, ConnectTimeoutMs(), text);
  }
}

void ConnectProgress(uint32_t elapsedMs) {
  if (openMeter != Open::kConnect) return;
  if (hMeterWindow != kNoHandle) {
    // The connect meter reads only lParam; wParam carries 10 as it always has.
    Os().MeterSendProgress(hMeterWindow, 10, static_cast<int32_t>(elapsedMs));
  }
  Report(VELDC_METER_CONNECT, VELDC_PROGRESS_STEP, 0, elapsedMs, ConnectTimeoutMs(), nullptr);
}

void CloseConnectMeter() {
  if (openMeter != Open::kConnect) return;
  DestroyMeterWindow();
  openMeter = Open::kNone;
  Report(VELDC_METER_CONNECT, VELDC_PROGRESS_CLOSE, 0, 0, ConnectTimeoutMs(), nullptr);
}

void MeterScope::Open() {
  if (!on_) return;
  if (kind_ == Kind::kTransfer) {
    OpenTransferMeter();
  } else {
    OpenConnectMeter(connectTimeoutMs_);
  }
  open_ = true;
}

void MeterScope::Close() {
  if (!open_) return;
  if (kind_ == Kind::kTransfer) {
    CloseTransferMeter();
  } else {
    CloseConnectMeter();
  }
  open_ = false;
}

void ResetMeterState() {
  // The window belonged to the backend being replaced; it is forgotten, not destroyed.
  hMeterWindow = kNoHandle;
  hMeterModule = kNoHandle;
  dwConnectMeterSpanMs = 0;
  openMeter = Open::kNone;
  nMeterSwitch = 0;
  dwProgress = 0;
  nRecords = 0;
  dwTotal = 0;
  pfnProgress = nullptr;
  pProgressContext = nullptr;
}

}  // namespace veldc::meter

extern "C" int VELDC_API EnableMeter(int on) {
  veldc::meter::nMeterSwitch = on;
  return 0;
}

extern "C" int VELDC_API SetProgressCallback(VeldcProgressCallback callback, void *context) {
  veldc::meter::pfnProgress = callback;
  veldc::meter::pProgressContext = context;
  return 0;
}
