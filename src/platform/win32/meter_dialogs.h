// The dialog procedures of the two meter windows (templates 110 and 111).
#pragma once

#include <windows.h>

namespace veldc::platform::win32 {

INT_PTR CALLBACK TransferMeterProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConnectMeterProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace veldc::platform::win32
