// Host sessions through VELDC.DLL under Windows: a terminal served by veldc-sim behind COM3
// (com_harness.sh sets VELDC_SIM_DIR), with the transfer meter's dialog watched while it runs.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "windows/veldc_dll.h"

namespace veldc::test {
namespace {

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class Win32SerialSession : public DllSessionTest {
 protected:
  Win32SerialSession() : DllSessionTest("VELDC_SIM_DIR") {}
};

TEST_F(Win32SerialSession, TransfersBothWaysWithTheMeterShowing) {
  ASSERT_EQ(dll_.InitCOMM(3, DEV_SERIAL_DIRECT, 9600, 0), 1000) << dll_.Error();
  EXPECT_NE(*dll_.hCommId, nullptr);
  EXPECT_NE(*dll_.hCommId, INVALID_HANDLE_VALUE);
  ASSERT_EQ(dll_.SetTerminal(0), 0) << dll_.Error();
  char time[VELDC_REPLY_SIZE] = {};
  ASSERT_EQ(dll_.GetTime(time), 0) << dll_.Error();
  EXPECT_EQ(std::strlen(time), 6u) << time;

  MeterWatch watch;
  Watch(&watch);
  dll_.EnableMeter(1);

  char name[] = "data";
  const std::string got = value_ + "\\got.txt";
  ASSERT_EQ(dll_.RecvFile(name, got.c_str()), 2) << dll_.Error();
  EXPECT_EQ(ReadAll(got), "AB\r\nCD\r\n");
  watch.ExpectShownOnce(2);

  const std::string send = value_ + "\\send.txt";
  std::ofstream(send, std::ios::binary) << "one\r\ntwo\r\nthree\r\n";
  char target[] = "new";
  watch.Restart();
  ASSERT_EQ(dll_.SendFile(send.c_str(), target, 0, 0), 3) << dll_.Error();
  EXPECT_STREQ(target, "NEW") << "terminal names are upper-cased in place";
  watch.ExpectShownOnce(3);

  ASSERT_EQ(dll_.ExitCOMM(), 0) << dll_.Error();
  EXPECT_EQ(*dll_.hCommId, INVALID_HANDLE_VALUE);
  // The simulator saves what it received a moment after the transfer ends.
  std::string saved;
  for (int i = 0; i < 40 && saved.empty(); ++i) {
    Sleep(50);
    saved = ReadAll(value_ + "\\out\\NEW");
  }
  EXPECT_EQ(saved, "one\r\ntwo\r\nthree\r\n");
}

TEST_F(Win32SerialSession, PortWithoutADeviceFailsInItsSetUp) {
  // COM4 leads to a path with nothing behind it: wine opens a dummy device whose state cannot
  // be read or set, so the set-up fails after the open and the port is closed again.
  EXPECT_EQ(dll_.InitCOMM(4, DEV_SERIAL_DIRECT, 9600, 0), -1);
  char text[VELDC_ERROR_TEXT_SIZE] = {};
  const int code = dll_.GetError(text);
  EXPECT_GE(code, 22) << text;
  EXPECT_LE(code, 28) << text;
  EXPECT_EQ(dll_.ExitCOMM(), -1) << "nothing was left open";
  EXPECT_EQ(dll_.GetError(text), 2) << text;

  // COM1 is still free for a new open.
  ASSERT_EQ(dll_.InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0), 1016) << dll_.Error();
  EXPECT_EQ(dll_.ExitCOMM(), 0) << dll_.Error();
}

}  // namespace
}  // namespace veldc::test
