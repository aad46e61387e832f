// What the session tests share: a peer the harness names, VELDC.DLL loaded beside the linked-in
// library (the meters' dialogs are its resources) and a watch on one meter's dialog.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "veldc.h"

namespace veldc::test {

inline std::string Error() {
  char text[VELDC_ERROR_TEXT_SIZE] = {};
  const int code = GetError(text);
  return std::to_string(code) + " " + text;
}
inline std::string Outcome(int result) { return std::to_string(result) + " " + Error(); }

// What the progress callback saw of one meter, and whether its dialog (found by its caption)
// was on screen at each step.
struct MeterWatch {
  int meter = VELDC_METER_TRANSFER;
  const char *caption = "Work in progress...";
  int opens = 0, steps = 0, closes = 0, shown = 0;

  // One dialog, on screen at every step (at least `minSteps`) and gone afterwards; then counts
  // start again.
  void ExpectShownOnce(int minSteps) {
    EXPECT_TRUE(opens == 1 && closes == 1 && steps >= minSteps) << opens << closes << steps;
    EXPECT_EQ(shown, steps) << "the dialog exists while the meter runs";
    EXPECT_EQ(FindWindowA(nullptr, caption), nullptr) << "and is gone afterwards";
    opens = steps = closes = shown = 0;
  }
  static void VELDC_API OnProgress(void *context, int meter, int event, int, unsigned int,
                                   unsigned int, const char *) {
    auto *watch = static_cast<MeterWatch *>(context);
    if (meter != watch->meter) return;
    watch->opens += event == VELDC_PROGRESS_OPEN;
    watch->closes += event == VELDC_PROGRESS_CLOSE;
    const HWND w = event == VELDC_PROGRESS_STEP ? FindWindowA(nullptr, watch->caption) : nullptr;
    watch->steps += event == VELDC_PROGRESS_STEP;
    watch->shown += w != nullptr && IsWindowVisible(w);
  }
};

// Skipped without the harness's variable; the meters shown and watched; the meters and the
// device put back afterwards.
class SessionTest : public ::testing::Test {
 protected:
  SessionTest(const char *variable, MeterWatch watch) : variable_(variable), watch_(watch) {}
  void SetUp() override {
    const char *value = std::getenv(variable_);
    if (value == nullptr) GTEST_SKIP() << "needs " << variable_ << " (set by the test's harness)";
    value_ = value;
    ASSERT_NE(dll_ = LoadLibraryA("VELDC.DLL"), nullptr);
    SetProgressCallback(MeterWatch::OnProgress, &watch_);
    EnableMeter(1);
  }
  void TearDown() override {
    EnableMeter(0);
    SetProgressCallback(nullptr, nullptr);
    ExitCOMM();
    if (dll_ != nullptr) FreeLibrary(dll_);
  }

  const char *variable_;
  MeterWatch watch_;
  std::string value_;
  HMODULE dll_ = nullptr;
};

}  // namespace veldc::test
