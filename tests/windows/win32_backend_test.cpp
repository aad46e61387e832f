// The real Windows backend under Windows (wine64 in CI): files, time, the version resource and
// the meter dialogs of VELDC.DLL. COM ports, WinSock and the driver: the sessions' tests.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "meter/meter.h"
#include "platform/meter_ui.h"
#include "platform/platform.h"
#include "veldc.h"
#include "veldc_version.h"

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
  const std::string path = std::string(dir) + "veldc_backend_file.txt";
  const char *file = path.c_str();
  DeleteFileA(file);
  const std::string text = "0123456789\r\nABCDEFGHIJ\r\n";
  Handle out = os.FileCreate(file);
  ASSERT_NE(out, kInvalidHandle);
  EXPECT_TRUE(os.FileWrite(out, text.data(), text.size()));
  EXPECT_EQ(os.FileOpenRead(file), kInvalidHandle) << "not shared while written";
  EXPECT_EQ(os.FileCreate(file), kInvalidHandle) << "nor created again";
  EXPECT_TRUE(os.FileClose(out));
  const Handle in = os.FileOpenRead(file);
  ASSERT_NE(in, kInvalidHandle);
  EXPECT_EQ(os.FileSize(in), text.size()) << "the refused create left it whole";
  EXPECT_EQ(os.FileOpenRead(file), kInvalidHandle) << "a second reader";
  char back[64] = {};
  uint32_t got = 0;
  EXPECT_TRUE(os.FileRead(in, back, sizeof back, &got) && got == text.size() && back == text);
  EXPECT_TRUE(os.FileRead(in, back, sizeof back, &got) && got == 0) << "end of file";
  EXPECT_TRUE(os.FileClose(in));
  out = os.FileCreate(file);  // creating again truncates
  EXPECT_EQ(os.FileSize(out), 0u);
  EXPECT_TRUE(os.FileClose(out) && os.FileDelete(file));
  EXPECT_FALSE(os.FileDelete(file)) << "already gone";
  // A device opens like a file but is none: reading it may never end.
  EXPECT_EQ(os.FileOpenRead("NUL"), kInvalidHandle);
  EXPECT_EQ(os.FileCreate("NUL"), kInvalidHandle);
  EXPECT_EQ(os.FileCreate("Z:\\no\\such\\dir\\f.txt"), kInvalidHandle);
}

TEST(Win32Ports, ClockAndUnknownPortsDoNotOpen) {
  const int64_t c0 = os.PerfCounter();
  const uint32_t t0 = os.TickCount();
  os.SleepMs(100);
  EXPECT_GE((os.PerfCounter() - c0) * 1000 / os.PerfFrequency(), 95);
  // The tick count moves in steps of up to 16 ms.
  EXPECT_TRUE(os.TickCount() - t0 >= 80 && os.TickCount() - t0 < 2000);
  EXPECT_TRUE(os.UtcYear() >= 2024 && os.UtcYear() < 2200);
  LastOsFailure() = OsFailure{};
  EXPECT_EQ(os.ComOpen("COM250"), kInvalidHandle);
  // The system's error and its text are kept for GetErrorDetail, named by the port.
  EXPECT_TRUE(LastOsFailure().number != 0 && LastOsFailure().text[0] != '\0');
  EXPECT_STREQ(LastOsFailure().subject, "COM250");
}

TEST(Win32Library, FileVersionIsTheProjectVersionOrFailsCleanly) {
  uint32_t ms = 0, ls = 0;
  ASSERT_NE(Dll(), kNoHandle);
  ASSERT_TRUE(os.FileVersion("VELDC.DLL", &ms, &ls));
  EXPECT_EQ(ms, (VELDC_VERSION_MAJOR << 16u) | VELDC_VERSION_MINOR);
  EXPECT_EQ(ls, (VELDC_VERSION_PATCH << 16u) | VELDC_VERSION_TWEAK);
  char text[VELDC_VERSION_SIZE] = {};
  ASSERT_EQ(GetVeldcVersion(text), 0);
  EXPECT_EQ(text, std::to_string(VELDC_VERSION_PATCH) + "." + std::to_string(VELDC_VERSION_TWEAK));
  // A file without a version block (this program has none) leaves the numbers untouched.
  char program[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, program, sizeof program), 0u);
  ms = ls = 0x1234;
  EXPECT_FALSE(os.FileVersion(program, &ms, &ls));
  EXPECT_TRUE(ms == 0x1234 && ls == 0x1234) << "untouched on failure";
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
    EXPECT_TRUE(IsWindowVisible(w) && GetDlgItem(w, bar) != nullptr);
    EXPECT_EQ(Text(w), caption);
    EXPECT_EQ(GetParent(w), nullptr) << "no owner";
    os.MeterSetItemText(window, item, "192.168.0.10");
    EXPECT_EQ(Text(w, item), "192.168.0.10");
    if (id == meter::kConnectTemplate) {
      for (int32_t elapsed : {0, 3500, 7000, 9000}) os.MeterSendProgress(window, 0, elapsed);
      EXPECT_TRUE(IsWindow(w)) << "past its time-out too";
    } else {
      EXPECT_EQ(meter::TransferMeterBar.accumulated, 0u) << "reset when the dialog starts";
      for (int record = 1; record <= 10; ++record) {  // ten records of 12 bytes out of 120
        os.MeterSetItemInt(window, meter::kItemRecords, record);
        os.MeterSendProgress(window, 120, 12);
      }
      EXPECT_EQ(meter::TransferMeterBar.accumulated, 120u);
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

}  // namespace
}  // namespace veldc::platform
