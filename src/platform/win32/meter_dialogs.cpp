// The meter windows draw their bar straight into the bar control when a progress message
// arrives; the library runs no message loop, so there is no repaint of the bar afterwards.
#include "platform/win32/meter_dialogs.h"

#include "platform/meter_ui.h"

namespace veldc::platform::win32 {

namespace {

constexpr COLORREF kBarColour = 0x00FF0000;  // 0x00BBGGRR: blue

// The bar control's device context; a missing one is reported and the drawing still attempted.
HDC BarContext(HWND bar) {
  HDC dc = GetDC(bar);
  if (dc == nullptr) MessageBoxA(nullptr, "Progress Meter", "Invalid DC", MB_OK);
  return dc;
}

void FillBar(HWND bar, HDC dc, const RECT &area) {
  HBRUSH brush = CreateSolidBrush(kBarColour);
  FillRect(dc, &area, brush);
  DeleteObject(brush);
  if (dc != nullptr) ReleaseDC(bar, dc);
}

bool IsCancel(UINT message, WPARAM wParam) {
  return message == WM_COMMAND && LOWORD(wParam) == IDCANCEL;
}

}  // namespace

INT_PTR CALLBACK TransferMeterProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    meter::TransferMeterBar.Reset();
    return TRUE;
  }
  if (IsCancel(message, wParam)) {
    // Only the window goes; the transfer itself carries on.
    EndDialog(dialog, 0);
    return TRUE;
  }
  if (message != meter::kProgressMessage) return FALSE;

  HWND bar = GetDlgItem(dialog, meter::kItemTransferBar);
  HDC dc = BarContext(bar);
  RECT area = {0, 0, 0, 0};
  GetClientRect(bar, &area);
  area.right =
      meter::TransferMeterBar.Advance(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam),
                                      static_cast<int32_t>(area.right - area.left));
  FillBar(bar, dc, area);
  return TRUE;
}

INT_PTR CALLBACK ConnectMeterProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) return TRUE;
  if (IsCancel(message, wParam)) {
    EndDialog(dialog, 0);
    return TRUE;
  }
  if (message != meter::kProgressMessage) return FALSE;

  HWND bar = GetDlgItem(dialog, meter::kItemConnectBar);
  HDC dc = BarContext(bar);
  RECT area = {0, 0, 0, 0};
  GetClientRect(bar, &area);
  area.right = meter::ConnectBarRight(static_cast<int32_t>(area.right - area.left),
                                      static_cast<int32_t>(lParam), meter::dwConnectMeterSpanMs);
  HBRUSH brush = CreateSolidBrush(kBarColour);
  FillRect(dc, &area, brush);
  InvalidateRect(dialog, &area, FALSE);
  DeleteObject(brush);
  if (dc != nullptr) ReleaseDC(bar, dc);
  return TRUE;
}

}  // namespace veldc::platform::win32
