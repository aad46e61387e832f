// The real Windows backend under Windows (wine64 in CI): files, time, modules, the version
// resource and the meter dialogs of VELDC.DLL. COM ports are in win32_com_test.cpp.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "meter/meter.h"
#include "platform/meter_ui.h"
#include "platform/platform.h"
#include "veldc.h"
#include "veldc_version.h"

namespace veldc::platform {
namespace {

Platform &Native() { return NativePlatform(); }

// A scratch file in the temporary directory, removed afterwards.
class ScratchFile {
 public:
  explicit ScratchFile(const char *name) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    path_ = std::string(dir) + name;
    DeleteFileA(path_.c_str());
  }
  ~ScratchFile() { DeleteFileA(path_.c_str()); }
  const char *path() const { return path_.c_str(); }

 private:
  std::string path_;
};

TEST(Win32Files, WriteThenReadBackWithSizeAndNoSharingAndBadPathsFail) {
  ScratchFile file("veldc_backend_file.txt");
  const std::string text = "0123456789\r\nABCDEFGHIJ\r\n";
  Handle out = Native().FileCreate(file.path());
  ASSERT_NE(out, kInvalidHandle);
  EXPECT_TRUE(Native().FileWrite(out, text.data(), text.size()));
  EXPECT_EQ(Native().FileOpenRead(file.path()), kInvalidHandle) << "not shared while written";
  EXPECT_TRUE(Native().FileClose(out));
  Handle in = Native().FileOpenRead(file.path());
  ASSERT_NE(in, kInvalidHandle);
  EXPECT_EQ(Native().FileSize(in), text.size());
  EXPECT_EQ(Native().FileOpenRead(file.path()), kInvalidHandle) << "a second reader";
  char back[64] = {};
  uint32_t got = 0;
  EXPECT_TRUE(Native().FileRead(in, back, 12, &got));
  EXPECT_EQ(got, 12u);
  EXPECT_TRUE(Native().FileRead(in, back + 12, sizeof back - 12, &got));
  EXPECT_EQ(back, text);
  EXPECT_TRUE(Native().FileRead(in, back, sizeof back, &got));
  EXPECT_EQ(got, 0u) << "end of file";
  EXPECT_TRUE(Native().FileClose(in));
  out = Native().FileCreate(file.path());  // creating again truncates
  EXPECT_EQ(Native().FileSize(out), 0u);
  EXPECT_TRUE(Native().FileClose(out));
  EXPECT_TRUE(Native().FileDelete(file.path()));
  EXPECT_FALSE(Native().FileDelete(file.path())) << "already gone";
  EXPECT_FALSE(Native().FileDelete(nullptr));
  // A device opens like a file but is none: reading it may never end.
  for (const char *bad : {static_cast<const char *>(nullptr), file.path(), "NUL"}) {
    EXPECT_EQ(Native().FileOpenRead(bad), kInvalidHandle);
  }
  for (const char *bad : {static_cast<const char *>(nullptr), "Z:\\no\\such\\dir\\f.txt", "NUL"}) {
    EXPECT_EQ(Native().FileCreate(bad), kInvalidHandle);
  }
}

TEST(Win32Time, CountersRunForward) {
  const int64_t frequency = Native().PerfFrequency();
  EXPECT_GT(frequency, 0);
  const int64_t c0 = Native().PerfCounter();
  const uint32_t t0 = Native().TickCount();
  Native().SleepMs(100);
  const int64_t c1 = Native().PerfCounter();
  const uint32_t t1 = Native().TickCount();
  EXPECT_GE((c1 - c0) * 1000 / frequency, 95) << "the counter measures the 100 ms sleep";
  EXPECT_GE(t1 - t0, 80u);  // the tick count moves in steps of up to 16 ms
  EXPECT_LT(t1 - t0, 2000u);
  EXPECT_GE(Native().UtcYear(), 2024);
  EXPECT_LT(Native().UtcYear(), 2200);
}

TEST(Win32Ports, DefaultNamesAreCom1ToCom4AndUnknownPortsDoNotOpen) {
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

  // Files without a version block.
  ScratchFile plain("veldc_no_version.txt");
  Handle out = Native().FileCreate(plain.path());
  ASSERT_TRUE(Native().FileWrite(out, "text", 4) && Native().FileClose(out));
  for (const char *file : {"NOSUCHLIB.DLL", plain.path(), static_cast<const char *>(nullptr)}) {
    ms = 0x1234;
    ls = 0x5678;
    EXPECT_FALSE(Native().FileVersion(file, &ms, &ls)) << (file ? file : "null");
    EXPECT_EQ(ms, 0x1234u) << "untouched on failure";
    EXPECT_EQ(ls, 0x5678u);
  }
}

std::string WindowText(HWND w) {
  char text[128] = {};
  GetWindowTextA(w, text, sizeof text);
  return text;
}

// The templates' styles and items are read from the DLL's resources (windows_dll_* tests).
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
    }
    Native().MeterDestroy(window);
    EXPECT_FALSE(IsWindow(w));
  }
  // No module or no such template: no window.
  EXPECT_EQ(Native().MeterCreate(kNoHandle, meter::kTransferTemplate), kNoHandle);
  EXPECT_EQ(Native().MeterCreate(Dll(), 112), kNoHandle);
}

TEST_F(Win32Library, TransferMeterCountsStepsAndShowsSignedNumbers) {
  const Handle window = Native().MeterCreate(Dll(), meter::kTransferTemplate);
  ASSERT_NE(window, kNoHandle);
  HWND w = reinterpret_cast<HWND>(window);
  EXPECT_EQ(meter::TransferMeterBar.accumulated, 0u) << "reset when the dialog starts";

  // Ten records of 12 bytes out of 120.
  for (int record = 1; record <= 10; ++record) {
    Native().MeterSetItemInt(window, meter::kItemRecords, record);
    Native().MeterSetItemInt(window, meter::kItemTotal, 120);
    Native().MeterSendProgress(window, 120, 12);
    EXPECT_EQ(meter::TransferMeterBar.accumulated, 12u * record);
  }
  EXPECT_EQ(WindowText(GetDlgItem(w, meter::kItemRecords)), "10");
  EXPECT_EQ(WindowText(GetDlgItem(w, meter::kItemTotal)), "120");
  Native().MeterSetItemInt(window, meter::kItemTotal, -7);
  EXPECT_EQ(WindowText(GetDlgItem(w, meter::kItemTotal)), "-7") << "signed";

  // Cancel ends the dialog (hidden), the library destroys it later.
  SendMessageA(w, WM_COMMAND, IDCANCEL, 0);
  EXPECT_FALSE(IsWindowVisible(w));
  Native().MeterSendProgress(window, 120, 12);
  EXPECT_EQ(meter::TransferMeterBar.accumulated, 132u) << "steps still counted";
  Native().MeterDestroy(window);
  EXPECT_FALSE(IsWindow(w));

  // A new meter starts from zero.
  const Handle again = Native().MeterCreate(Dll(), meter::kTransferTemplate);
  ASSERT_NE(again, kNoHandle);
  EXPECT_EQ(meter::TransferMeterBar.accumulated, 0u);
  Native().MeterDestroy(again);
}

}  // namespace
}  // namespace veldc::platform
