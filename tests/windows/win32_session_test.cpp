// Host sessions under Windows with the meters' dialogs up (from VELDC.DLL's templates, loaded
// beside the linked-in library): a terminal served by veldc-sim behind COM3 (com_harness.sh sets
// VELDC_SIM_DIR), and veldc-sim's Pelo adapter on a network of the test's own, reached through
// WSOCK32.DLL (pelo_harness.sh sets VELDC_PELO_ADDRESS). Each harness runs its own tests; the
// others are skipped.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "veldc.h"

namespace veldc::test {
namespace {

std::string Error() {
  char text[VELDC_ERROR_TEXT_SIZE] = {};
  const int code = GetError(text);
  return std::to_string(code) + " " + text;
}

std::string ReadAll(const std::string &path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

// Skipped without the harness's variable; the meters and the device put back afterwards.
template <const char *kVariable>
class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *value = std::getenv(kVariable);
    if (value == nullptr) GTEST_SKIP() << "needs " << kVariable << " (set by the test's harness)";
    value_ = value;
    ASSERT_NE(dll_ = LoadLibraryA("VELDC.DLL"), nullptr);
    EnableMeter(1);
  }
  void TearDown() override {
    EnableMeter(0);
    ExitCOMM();
    if (dll_ != nullptr) FreeLibrary(dll_);
  }
  std::string value_;
  HMODULE dll_ = nullptr;
};

constexpr char kSimDir[] = "VELDC_SIM_DIR", kPeloAddress[] = "VELDC_PELO_ADDRESS";
using Win32SerialSession = SessionTest<kSimDir>;
using Win32Pelo = SessionTest<kPeloAddress>;

TEST_F(Win32SerialSession, TransfersBothWays) {
  ASSERT_EQ(InitCOMM(3, DEV_SERIAL_DIRECT, 9600, 0), 1000) << Error();
  // The library's line settings read back from the port's device control block.
  platform::ComState dcb;
  ASSERT_TRUE(platform::NativePlatform().ComGetState(reinterpret_cast<intptr_t>(hCommId), &dcb));
  EXPECT_TRUE(dcb.BaudRate == 9600 && dcb.ByteSize == 8 && dcb.Parity == platform::kNoParity &&
              dcb.StopBits == platform::kOneStopBit && dcb.fOutX && dcb.fInX &&
              dcb.XonChar == 0x11 && dcb.XoffChar == 0x13);
  ASSERT_EQ(SetTerminal(0), 0) << Error();
  char name[] = "data", target[] = "new";
  const std::string got = value_ + "\\got.txt", send = value_ + "\\send.txt";
  ASSERT_EQ(RecvFile(name, got.c_str()), 2) << Error();
  EXPECT_EQ(ReadAll(got), "AB\r\nCD\r\n");
  std::ofstream(send, std::ios::binary) << "one\r\ntwo\r\nthree\r\n";
  ASSERT_EQ(SendFile(send.c_str(), target, 0, 0), 3) << Error();
  ASSERT_EQ(ExitCOMM(), 0) << Error();
  // The simulator saves what it received a moment after the transfer ends.
  std::string saved;
  for (int i = 0; i < 40 && saved.empty(); ++i, Sleep(50)) saved = ReadAll(value_ + "\\out\\NEW");
  EXPECT_EQ(saved, "one\r\ntwo\r\nthree\r\n");
}

// COM4 leads to a path with nothing behind it: wine opens a dummy device whose state cannot be
// read or set, so the set-up fails after the open, the port is closed again and COM3 opens.
TEST_F(Win32SerialSession, PortWithoutADeviceFailsInItsSetUp) {
  EXPECT_EQ(InitCOMM(4, DEV_SERIAL_DIRECT, 9600, 0), -1);
  char text[VELDC_ERROR_TEXT_SIZE] = {};
  const int code = GetError(text);
  EXPECT_TRUE(code >= 22 && code <= 28) << code << " " << text;
  // A port that does not open: the system's error and its text are kept for GetErrorDetail.
  SetPortName(2, "COM250");
  EXPECT_EQ(InitCOMM(2, DEV_SERIAL_DIRECT, 9600, 0), -1);
  EXPECT_TRUE(GetErrorDetail(text, sizeof text) != 0 && std::strstr(text, "COM250: ")) << text;
  SetPortName(2, nullptr);
  ASSERT_EQ(InitCOMM(3, DEV_SERIAL_DIRECT, 9600, 0), 1000) << Error();
}

TEST_F(Win32Pelo, ConnectsAndReachesATerminal) {
  ASSERT_EQ(InitCOMM(5005, DEV_PELO, 0, 0), 5005) << Error();
  ASSERT_EQ(SetIPAddress(value_.c_str()), 0) << Error();
  char reply[VELDC_REPLY_SIZE] = {};
  ASSERT_EQ(PeloCommand("X", reply), 0) << Error();
  EXPECT_NE(std::strlen(reply), 0u);
  ASSERT_EQ(SetTerminal(1), 0) << Error();
  ASSERT_EQ(GetTime(reply), 0) << Error();
  EXPECT_EQ(std::strlen(reply), 6u) << reply;
  EXPECT_EQ(ExitCOMM(), 0) << Error();
}

}  // namespace
}  // namespace veldc::test
