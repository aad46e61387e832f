// The real Windows COM port calls over two ports wired to each other. The harness
// (com_harness.sh) maps COM1 and COM2 to the two ends of a pty pair and sets VELDC_COM_PAIR.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace veldc::platform {
namespace {

Platform &os = NativePlatform();

// Reads what arrives on `port` until `count` bytes came or two seconds ran out.
std::string ReadFor(Handle port, size_t count) {
  std::string got;
  char c;
  for (const DWORD start = GetTickCount(); got.size() < count && GetTickCount() - start < 2000;) {
    if (os.ComRead(port, &c, 1) == 1) got.push_back(c);
    Sleep(got.size() < count ? 1 : 0);
  }
  return got;
}

class Win32ComPair : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("VELDC_COM_PAIR") == nullptr) GTEST_SKIP() << "needs com_harness.sh";
    a_ = os.ComOpen("COM1");
    b_ = os.ComOpen("\\\\.\\COM2");
    for (Handle port : {a_, b_}) {
      ComState state;
      ASSERT_TRUE(port != kInvalidHandle && os.ComSetupQueues(port, 4096, 4096) &&
                  os.ComGetState(port, &state));
      state.BaudRate = 9600;
      state.fBinary = true;
      state.ByteSize = 8;
      state.Parity = kNoParity;
      state.StopBits = kOneStopBit;
      state.fOutX = state.fInX = false;
      ComTimeouts never;  // reads return at once with what is there
      never.ReadIntervalTimeout = MAXDWORD;
      ASSERT_TRUE(os.ComSetState(port, state) && os.ComSetTimeouts(port, never));
    }
  }
  void TearDown() override {
    for (Handle port : {a_, b_}) EXPECT_TRUE(port == kInvalidHandle || os.ComClose(port));
  }
  Handle a_ = kInvalidHandle, b_ = kInvalidHandle;
};

TEST_F(Win32ComPair, StateRoundTripsThroughTheDeviceControlBlock) {
  for (const auto &[baud, xonXoff] : {std::pair<uint32_t, bool>{1200, false}, {19200, true}}) {
    ComState set, got;
    ASSERT_TRUE(os.ComGetState(a_, &set));
    set.BaudRate = baud;
    set.fOutX = set.fInX = xonXoff;
    set.XonChar = 0x11;
    set.XoffChar = 0x13;
    set.StopBits = kOneStopBit;
    ASSERT_TRUE(os.ComSetState(a_, set) && os.ComGetState(a_, &got));
    EXPECT_EQ(got.BaudRate, baud);
    EXPECT_TRUE(got.fOutX == xonXoff && got.fInX == xonXoff && got.StopBits == kOneStopBit);
  }
}

TEST_F(Win32ComPair, BytesCrossBothWaysPurgeDropsWhatCameAndAClosedPortRefusesAll) {
  uint32_t written = 0, mask = 0xFFFF;
  ASSERT_TRUE(os.ComWrite(a_, "001TIME\r", 8, &written));
  EXPECT_EQ(written, 8u);
  EXPECT_EQ(ReadFor(b_, 8), "001TIME\r");
  ASSERT_TRUE(os.ComTransmitChar(b_, 0x04));
  EXPECT_EQ(ReadFor(a_, 1), "\x04");
  EXPECT_TRUE(os.ComClearError(a_, &mask));
  EXPECT_EQ(mask, 0u);
  // A purge drops what was received, and an empty port reads at once.
  ASSERT_TRUE(os.ComWrite(a_, "stale", 5, &written));
  Sleep(200);  // let the bytes reach the other end before purging them
  EXPECT_TRUE(os.ComPurge(b_, kPurgeRxClear | kPurgeTxClear));
  char buffer[8];
  const DWORD start = GetTickCount();
  EXPECT_EQ(os.ComRead(b_, buffer, sizeof buffer), 0u);
  EXPECT_LT(GetTickCount() - start, 500u);
  ASSERT_TRUE(os.ComWrite(a_, "fresh", 5, &written));
  EXPECT_EQ(ReadFor(b_, 5), "fresh");
  // A closed port refuses everything.
  ASSERT_TRUE(os.ComClose(a_));
  const Handle closed = a_;
  a_ = kInvalidHandle;
  ComState state;
  EXPECT_FALSE(os.ComWrite(closed, "x", 1, &written) || os.ComGetState(closed, &state) ||
               os.ComClose(closed));
  EXPECT_EQ(os.ComRead(closed, buffer, 1), 0u);
}

}  // namespace
}  // namespace veldc::platform
