// VELDC.DLL as a host sees it: loaded with LoadLibraryA, every entry point by name.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "veldc.h"

namespace veldc::test {

// The entry points the tests bind by name: one list for the pointers and their binding.
// clang-format off
#define VELDC_DLL_ENTRIES(X)                                                                \
  X(GetError) X(InitCOMM) X(ExitCOMM) X(SetTerminal) X(GetTime) X(SendFile) X(RecvFile)     \
  X(EnableMeter) X(SetProgressCallback) X(SetIPAddress) X(PeloCommand) X(SetWinSockTimeOut)
// clang-format on

class VeldcDll {
 public:
  VeldcDll() : module_(LoadLibraryA("VELDC.DLL")) {
    if (module_ == nullptr) return;
#define VELDC_BIND(name) Get(#name, &name);
    VELDC_DLL_ENTRIES(VELDC_BIND)
#undef VELDC_BIND
    hCommId = reinterpret_cast<void **>(GetProcAddress(module_, "hCommId"));
  }
  ~VeldcDll() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  VeldcDll(const VeldcDll &) = delete;
  VeldcDll &operator=(const VeldcDll &) = delete;

  // True when the DLL and every entry point above were found.
  bool Loaded() const { return module_ != nullptr && complete_ && hCommId != nullptr; }

  std::string Error() const {
    char text[VELDC_ERROR_TEXT_SIZE] = {};
    const int code = GetError(text);
    return std::to_string(code) + " " + text;
  }

#define VELDC_POINTER(name) decltype(&::name) name = nullptr;
  VELDC_DLL_ENTRIES(VELDC_POINTER)
#undef VELDC_POINTER
  void **hCommId = nullptr;

 private:
  template <typename Fn>
  void Get(const char *name, Fn *fn) {
    void *p = reinterpret_cast<void *>(GetProcAddress(module_, name));
    *fn = reinterpret_cast<Fn>(p);
    if (p == nullptr) complete_ = false;
  }

  HMODULE module_;
  bool complete_ = true;
};

// What the progress callback saw of one meter while it ran, and whether the meter's dialog
// (found by its caption) was on screen at each step.
struct MeterWatch {
  int meter = VELDC_METER_TRANSFER;
  const char *caption = "Work in progress...";
  int opens = 0, steps = 0, closes = 0, stepsWithWindow = 0;

  HWND Window() const { return FindWindowA(nullptr, caption); }
  void Restart() { opens = steps = closes = stepsWithWindow = 0; }
  // One dialog, on screen at every step (at least `minSteps`) and gone afterwards.
  void ExpectShownOnce(int minSteps) const {
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(closes, 1);
    EXPECT_GE(steps, minSteps);
    EXPECT_EQ(stepsWithWindow, steps) << "the dialog exists while the meter runs";
    EXPECT_EQ(Window(), nullptr) << "and is gone afterwards";
  }

  static void VELDC_API OnProgress(void *context, int meter, int event, int, unsigned int,
                                   unsigned int, const char *) {
    auto *watch = static_cast<MeterWatch *>(context);
    if (meter != watch->meter) return;
    if (event == VELDC_PROGRESS_OPEN) ++watch->opens;
    if (event == VELDC_PROGRESS_CLOSE) ++watch->closes;
    if (event == VELDC_PROGRESS_STEP) {
      ++watch->steps;
      HWND w = watch->Window();
      if (w != nullptr && IsWindowVisible(w)) ++watch->stepsWithWindow;
    }
  }
};

// A test on the loaded DLL that needs a peer the harness announces in an environment variable
// (skipped without it); the meters and the device are put back afterwards.
class DllSessionTest : public ::testing::Test {
 protected:
  explicit DllSessionTest(const char *variable) : variable_(variable) {}
  void SetUp() override {
    const char *value = std::getenv(variable_);
    if (value == nullptr) GTEST_SKIP() << "needs " << variable_ << " (set by the test's harness)";
    value_ = value;
    ASSERT_TRUE(dll_.Loaded());
  }
  void TearDown() override {
    if (dll_.Loaded()) {
      dll_.EnableMeter(0);
      dll_.SetProgressCallback(nullptr, nullptr);
      dll_.ExitCOMM();
    }
  }
  void Watch(MeterWatch *watch) { dll_.SetProgressCallback(MeterWatch::OnProgress, watch); }

  VeldcDll dll_;
  std::string value_;

 private:
  const char *variable_;
};

}  // namespace veldc::test
