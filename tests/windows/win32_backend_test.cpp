// The real Windows backend under Windows (wine64 in CI): files, the meter dialogs of VELDC.DLL,
// and KOV74C.DLL found on the search path with its entries bound by ordinal. COM ports, the
// clock and WinSock: the sessions' tests; the version resource: the windows_dll_* checks and the
// example host's GetVeldcVersion.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "meter/meter.h"
#include "platform/meter_ui.h"
#include "platform/platform.h"
#include "veldc.h"

namespace veldc::platform {
namespace {

Platform &os = NativePlatform();

// VELDC.DLL, copied next to this program as a host would ship it.
Handle Dll() {
  static const HMODULE dll = LoadLibraryA("VELDC.DLL");
  EXPECT_NE(dll, nullptr) << "VELDC.DLL next to the test program";
  return reinterpret_cast<Handle>(dll);
}

TEST(Win32Files, WriteThenReadBackWithSizeAndNoSharingAndBadPathsFail) {
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  const std::string path = std::string(dir) + "veldc_backend_file.txt", text = "0123456789\r\n";
  const char *file = path.c_str();
  DeleteFileA(file);
  Handle out = os.FileCreate(file);
  ASSERT_NE(out, kInvalidHandle);
  EXPECT_TRUE(os.FileWrite(out, text.data(), text.size()));
  EXPECT_TRUE(os.FileOpenRead(file) == kInvalidHandle && os.FileCreate(file) == kInvalidHandle)
      << "not shared while written";
  EXPECT_TRUE(os.FileClose(out));
  const Handle in = os.FileOpenRead(file);
  EXPECT_TRUE(os.FileSize(in) == text.size() && os.FileOpenRead(file) == kInvalidHandle)
      << "left whole by the refused create, read by one reader only";
  char back[64] = {};
  uint32_t got = 0;
  EXPECT_TRUE(os.FileRead(in, back, sizeof back, &got) && got == text.size() && back == text);
  EXPECT_TRUE(os.FileRead(in, back, sizeof back, &got) && got == 0 && os.FileClose(in));
  out = os.FileCreate(file);  // creating again truncates
  EXPECT_TRUE(os.FileSize(out) == 0 && os.FileClose(out) && os.FileDelete(file) &&
              !os.FileDelete(file));
  // A device opens like a file but is none: reading it may never end.
  EXPECT_TRUE(os.FileOpenRead("NUL") == kInvalidHandle && os.FileCreate("NUL") == kInvalidHandle &&
              os.FileCreate("Z:\\no\\such\\dir\\f.txt") == kInvalidHandle);
}

std::string Text(HWND w, int item = 0) {
  char text[128] = {};
  GetWindowTextA(item == 0 ? w : GetDlgItem(w, item), text, sizeof text);
  return text;
}

// Both meters' dialogs from the DLL's templates (their styles and items are read from the DLL's
// resources by the windows_dll_* tests): shown without an owner, their items set; the transfer
// meter counts its steps from zero, shows signed numbers and is hidden by Cancel; the connect
// meter stays past its time-out until destroyed.
TEST(Win32Library, MeterDialogsComeFromTheDllTemplates) {
  EXPECT_EQ(os.SelfModule(), Dll()) << "the library's own module, whose templates it takes";
  for (const auto &[id, caption, bar, item] :
       {std::tuple{meter::kTransferTemplate, "Work in progress...", meter::kItemTransferBar,
                   meter::kItemRecords},
        {meter::kConnectTemplate, "Connecting.....", meter::kItemConnectBar, meter::kItemStatus}}) {
    SCOPED_TRACE(id);
    const Handle window = os.MeterCreate(Dll(), id);
    ASSERT_NE(window, kNoHandle);
    const HWND w = reinterpret_cast<HWND>(window);
    os.MeterShow(window);
    EXPECT_TRUE(IsWindowVisible(w) && GetDlgItem(w, bar) != nullptr && Text(w) == caption &&
                GetParent(w) == nullptr)
        << "shown, without an owner";
    os.MeterSetItemText(window, item, "192.168.0.10");
    EXPECT_EQ(Text(w, item), "192.168.0.10");
    if (id == meter::kConnectTemplate) {
      for (int32_t elapsed : {0, 3500, 7000, 9000}) os.MeterSendProgress(window, 0, elapsed);
      EXPECT_TRUE(IsWindow(w)) << "past its time-out too";
    } else {
      EXPECT_EQ(meter::TransferMeterBar.accumulated, 0u) << "reset when the dialog starts";
      os.MeterSendProgress(window, 120, 12);
      EXPECT_EQ(meter::TransferMeterBar.accumulated, 12u) << "a record of 12 bytes out of 120";
      os.MeterSetItemInt(window, meter::kItemTotal, -7);
      EXPECT_EQ(Text(w, meter::kItemTotal), "-7") << "signed";
      SendMessageA(w, WM_COMMAND, IDCANCEL, 0);
      EXPECT_FALSE(IsWindowVisible(w)) << "Cancel hides it; the library destroys it later";
    }
    os.MeterDestroy(window);
    EXPECT_FALSE(IsWindow(w));
  }
  // No module or no such template: no window.
  EXPECT_EQ(os.MeterCreate(kNoHandle, meter::kTransferTemplate), kNoHandle);
  EXPECT_EQ(os.MeterCreate(Dll(), 112), kNoHandle);
}

// A session with the stand-in's simulated terminal 2 in each Kov74 mode.
TEST(Win32Kov74, SessionThroughTheDriverByOrdinal) {
  for (const auto &[kind, speed] :
       {std::pair{DEV_KOV74_MODE0, 0}, {DEV_KOV74_MODE1, 9600}, {DEV_KOV74_MODE2, 57600}}) {
    char time[VELDC_REPLY_SIZE] = {};
    ASSERT_TRUE(InitCOMM(1, kind, speed, 0) > 0 && SetTerminal(2) == 0 && GetTime(time) == 0)
        << kind << ": " << GetError(time) << " " << time;
    EXPECT_EQ(std::strlen(time), 6u) << kind << ": " << time;
    EXPECT_EQ(ExitCOMM(), 0);
  }
}

}  // namespace
}  // namespace veldc::platform
