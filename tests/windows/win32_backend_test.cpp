// The real Windows backend under Windows (wine64 in CI): files, time, modules, the version
// resource and the meter dialogs of VELDC.DLL. COM ports are in win32_com_test.cpp.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "meter/meter.h"
#include "platform/meter_ui.h"
#include "platform/platform.h"
#include "veldc.h"
#include "veldc_version.h"

namespace veldc::platform {
namespace {

Platform &Native() { return NativePlatform(); }

// A file of the temporary directory, not there yet.
std::string ScratchPath(const char *name) {
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  DeleteFileA((std::string(dir) + name).c_str());
  return std::string(dir) + name;
}

TEST(Win32Files, WriteThenReadBackWithSizeAndNoSharingAndBadPathsFail) {
  const std::string path = ScratchPath("veldc_backend_file.txt");
  const char *file = path.c_str();
  const std::string text = "0123456789\r\nABCDEFGHIJ\r\n";
  Handle out = Native().FileCreate(file);
  ASSERT_NE(out, kInvalidHandle);
  EXPECT_TRUE(Native().FileWrite(out, text.data(), text.size()));
  EXPECT_EQ(Native().FileOpenRead(file), kInvalidHandle) << "not shared while written";
  EXPECT_EQ(Native().FileCreate(file), kInvalidHandle) << "nor created again";
  EXPECT_TRUE(Native().FileClose(out));
  Handle in = Native().FileOpenRead(file);
  ASSERT_NE(in, kInvalidHandle);
  EXPECT_EQ(Native().FileSize(in), text.size()) << "the refused create left it whole";
  EXPECT_EQ(Native().FileOpenRead(file), kInvalidHandle) << "a second reader";
  char back[64] = {};
  uint32_t got = 0;
  EXPECT_TRUE(Native().FileRead(in, back, 12, &got));
  EXPECT_EQ(got, 12u);
  EXPECT_TRUE(Native().FileRead(in, back + 12, sizeof back - 12, &got));
  EXPECT_EQ(back, text);
  EXPECT_TRUE(Native().FileRead(in, back, sizeof back, &got));
  EXPECT_EQ(got, 0u) << "end of file";
  EXPECT_TRUE(Native().FileClose(in));
  out = Native().FileCreate(file);  // creating again truncates
  EXPECT_EQ(Native().FileSize(out), 0u);
  EXPECT_TRUE(Native().FileClose(out));
  EXPECT_TRUE(Native().FileDelete(file));
  EXPECT_FALSE(Native().FileDelete(file)) << "already gone";
  EXPECT_FALSE(Native().FileDelete(nullptr));
  // A device opens like a file but is none: reading it may never end.
  for (const char *bad : {static_cast<const char *>(nullptr), file, "NUL"}) {
    EXPECT_EQ(Native().FileOpenRead(bad), kInvalidHandle);
  }
  for (const char *bad : {static_cast<const char *>(nullptr), "Z:\\no\\such\\dir\\f.txt", "NUL"}) {
    EXPECT_EQ(Native().FileCreate(bad), kInvalidHandle);
  }
}

TEST(Win32Ports, ClockAndDefaultNamesAndUnknownPortsDoNotOpen) {
  const int64_t c0 = Native().PerfCounter();
  const uint32_t t0 = Native().TickCount();
  Native().SleepMs(100);
  EXPECT_GE((Native().PerfCounter() - c0) * 1000 / Native().PerfFrequency(), 95);
  EXPECT_GE(Native().TickCount() - t0, 80u);  // the tick count moves in steps of up to 16 ms
  EXPECT_LT(Native().TickCount() - t0, 2000u);
  EXPECT_GE(Native().UtcYear(), 2024);
  EXPECT_LT(Native().UtcYear(), 2200);

  for (int port = 1; port <= 4; ++port) {
    EXPECT_STREQ(Native().DefaultPortName(port), ("COM" + std::to_string(port)).c_str());
  }
  EXPECT_EQ(Native().DefaultPortName(0), nullptr);
  EXPECT_EQ(Native().DefaultPortName(5), nullptr);
  EXPECT_EQ(Native().ComOpen(nullptr), kInvalidHandle);
  LastOsFailure() = OsFailure{};
  EXPECT_EQ(Native().ComOpen("COM250"), kInvalidHandle);
  // The system's error and its text are kept for GetErrorDetail, named by the port.
  EXPECT_NE(LastOsFailure().number, 0);
  EXPECT_STREQ(LastOsFailure().subject, "COM250");
  EXPECT_NE(LastOsFailure().text[0], '\0');
}

// VELDC.DLL is copied next to this program, as a host would ship it.
class Win32Library : public ::testing::Test {
 protected:
  void SetUp() override {
    dll_ = LoadLibraryA("VELDC.DLL");
    ASSERT_NE(dll_, nullptr) << "VELDC.DLL next to the test program";
  }
  void TearDown() override {
    if (dll_ != nullptr) FreeLibrary(dll_);
  }
  Handle Dll() const { return reinterpret_cast<Handle>(dll_); }
  HMODULE dll_ = nullptr;
};

TEST_F(Win32Library, SearchPathFindsOnlyPresentModulesSelfIsTheDllAndWinSockLoads) {
  EXPECT_EQ(Native().SelfModule(), Dll());
  EXPECT_TRUE(Native().ModuleOnSearchPath("KERNEL32.DLL"));
  EXPECT_TRUE(Native().ModuleOnSearchPath("VELDC.DLL"));
  EXPECT_FALSE(Native().ModuleOnSearchPath("NOSUCHLIB.DLL"));
  EXPECT_FALSE(Native().ModuleOnSearchPath(nullptr));
  EXPECT_EQ(Native().ModuleLoad("NOSUCHLIB.DLL"), kNoHandle);

  // WinSock loads by name with all the entry points the Pelo link uses.
  const Handle ws = Native().ModuleLoad("WSOCK32.DLL");
  ASSERT_NE(ws, kNoHandle);
  for (const char *name : kWinSockEntryNames) {
    EXPECT_NE(Native().ModuleSymbol(ws, name), nullptr) << name;
  }
  EXPECT_EQ(Native().ModuleSymbol(ws, "NoSuchEntry"), nullptr);
  EXPECT_TRUE(Native().ModuleFree(ws));
  EXPECT_FALSE(Native().ModuleFree(kNoHandle));
}

TEST_F(Win32Library, FileVersionIsTheProjectVersionOrFailsCleanly) {
  uint32_t ms = 0;
  uint32_t ls = 0;
  ASSERT_TRUE(Native().FileVersion("VELDC.DLL", &ms, &ls));
  EXPECT_EQ(ms, (VELDC_VERSION_MAJOR << 16u) | VELDC_VERSION_MINOR);
  EXPECT_EQ(ls, (VELDC_VERSION_PATCH << 16u) | VELDC_VERSION_TWEAK);

  using VersionFn = int(WINAPI *)(char *);
  auto getVersion = reinterpret_cast<VersionFn>(
      reinterpret_cast<void *>(GetProcAddress(dll_, "GetVeldcVersion")));
  ASSERT_NE(getVersion, nullptr);
  char text[VELDC_VERSION_SIZE] = {};
  ASSERT_EQ(getVersion(text), 0);
  char expected[32];
  std::snprintf(expected, sizeof expected, "%d.%d", VELDC_VERSION_PATCH, VELDC_VERSION_TWEAK);
  EXPECT_STREQ(text, expected);

  // Files without a version block (this program has none) leave the numbers untouched.
  char program[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, program, sizeof program), 0u);
  const char *self = program;
  for (const char *file : {"NOSUCHLIB.DLL", self, static_cast<const char *>(nullptr)}) {
    ms = ls = 0x1234;
    EXPECT_FALSE(Native().FileVersion(file, &ms, &ls)) << (file ? file : "null");
    EXPECT_TRUE(ms == 0x1234 && ls == 0x1234) << "untouched on failure";
  }
}

std::string WindowText(HWND w) {
  char text[128] = {};
  GetWindowTextA(w, text, sizeof text);
  return text;
}

// Both meters' dialogs from the DLL's templates (their styles and items are read from the DLL's
// resources by the windows_dll_* tests): shown without an owner, their items set; the transfer
// meter counts its steps from zero, shows signed numbers and is hidden by Cancel; the connect
// meter stays past its time-out until destroyed.
TEST_F(Win32Library, MeterDialogsComeFromTheDllTemplates) {
  const struct {
    int id;
    const char *caption;
    int bar, textItem;
  } dialogs[] = {
      {meter::kTransferTemplate, "Work in progress...", meter::kItemTransferBar,
       meter::kItemRecords},
      {meter::kConnectTemplate, "Connecting.....", meter::kItemConnectBar, meter::kItemStatus},
  };
  for (const auto &d : dialogs) {
    SCOPED_TRACE(d.id);
    const Handle window = Native().MeterCreate(Dll(), d.id);
    ASSERT_NE(window, kNoHandle);
    HWND w = reinterpret_cast<HWND>(window);
    Native().MeterShow(window);
    EXPECT_TRUE(IsWindowVisible(w));
    EXPECT_EQ(WindowText(w), d.caption);
    EXPECT_NE(GetDlgItem(w, d.bar), nullptr);
    EXPECT_EQ(GetParent(w), nullptr) << "no owner";
    Native().MeterSetItemText(window, d.textItem, "192.168.0.10");
    EXPECT_EQ(WindowText(GetDlgItem(w, d.textItem)), "192.168.0.10");
    if (d.id == meter::kConnectTemplate) {
      for (int32_t elapsed : {0, 3500, 7000, 9000}) Native().MeterSendProgress(window, 0, elapsed);
      EXPECT_TRUE(IsWindow(w)) << "past its time-out too";
    } else {
      EXPECT_EQ(meter::TransferMeterBar.accumulated, 0u) << "reset when the dialog starts";
      for (int record = 1; record <= 10; ++record) {  // ten records of 12 bytes out of 120
        Native().MeterSetItemInt(window, meter::kItemRecords, record);
        Native().MeterSendProgress(window, 120, 12);
      }
      EXPECT_EQ(meter::TransferMeterBar.accumulated, 120u);
      EXPECT_EQ(WindowText(GetDlgItem(w, meter::kItemRecords)), "10");
      Native().MeterSetItemInt(window, meter::kItemTotal, -7);
      EXPECT_EQ(WindowText(GetDlgItem(w, meter::kItemTotal)), "-7") << "signed";
      SendMessageA(w, WM_COMMAND, IDCANCEL, 0);
      EXPECT_FALSE(IsWindowVisible(w)) << "Cancel hides it; the library destroys it later";
      Native().MeterSendProgress(window, 120, 12);
      EXPECT_EQ(meter::TransferMeterBar.accumulated, 132u) << "steps still counted";
    }
    Native().MeterDestroy(window);
    EXPECT_FALSE(IsWindow(w));
  }
  // A new meter starts from zero; no module or no such template: no window.
  const Handle again = Native().MeterCreate(Dll(), meter::kTransferTemplate);
  EXPECT_EQ(meter::TransferMeterBar.accumulated, 0u);
  Native().MeterDestroy(again);
  EXPECT_EQ(Native().MeterCreate(kNoHandle, meter::kTransferTemplate), kNoHandle);
  EXPECT_EQ(Native().MeterCreate(Dll(), 112), kNoHandle);
}

}  // namespace
}  // namespace veldc::platform
