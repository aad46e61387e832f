// What the session tests share: a peer the harness names and VELDC.DLL loaded beside the
// linked-in library (the meters' dialogs are its resources).
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

// Skipped without the harness's variable; the meters' dialogs shown (from VELDC.DLL's templates,
// as the backend's tests check them); the meters and the device put back afterwards.
class SessionTest : public ::testing::Test {
 protected:
  explicit SessionTest(const char *variable) : variable_(variable) {}
  void SetUp() override {
    const char *value = std::getenv(variable_);
    if (value == nullptr) GTEST_SKIP() << "needs " << variable_ << " (set by the test's harness)";
    value_ = value;
    ASSERT_NE(dll_ = LoadLibraryA("VELDC.DLL"), nullptr);
    EnableMeter(1);
  }
  void TearDown() override {
    EnableMeter(0);
    ExitCOMM();
    if (dll_ != nullptr) FreeLibrary(dll_);
  }

  const char *variable_;
  std::string value_;
  HMODULE dll_ = nullptr;
};

}  // namespace veldc::test
