// The real Windows COM port calls over two ports wired to each other. The harness
// (com_harness.sh) maps COM1 and COM2 to the two ends of a pty pair and sets VELDC_COM_PAIR.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace veldc::platform {
namespace {

Platform &Native() { return NativePlatform(); }

// Reads what arrives on `port` until `count` bytes came or `ms` ran out.
std::string ReadFor(Handle port, size_t count, DWORD ms) {
  std::string got;
  const DWORD start = GetTickCount();
  while (got.size() < count && GetTickCount() - start < ms) {
    char c;
    if (Native().ComRead(port, &c, 1) == 1)
      got.push_back(c);
    else
      Sleep(1);
  }
  return got;
}

class Win32ComPair : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("VELDC_COM_PAIR") == nullptr) {
      GTEST_SKIP() << "needs COM1 and COM2 wired together (com_harness.sh)";
    }
    a_ = Native().ComOpen("COM1");
    b_ = Native().ComOpen("\\\\.\\COM2");
    ASSERT_NE(a_, kInvalidHandle);
    ASSERT_NE(b_, kInvalidHandle);
    for (Handle port : {a_, b_}) {
      ASSERT_TRUE(Native().ComSetupQueues(port, 4096, 4096));
      ComState state;
      ASSERT_TRUE(Native().ComGetState(port, &state));
      state.BaudRate = 9600;
      state.fBinary = true;
      state.ByteSize = 8;
      state.Parity = kNoParity;
      state.StopBits = kOneStopBit;
      state.fOutX = state.fInX = false;
      ASSERT_TRUE(Native().ComSetState(port, state));
      ComTimeouts never;  // reads return at once with what is there
      never.ReadIntervalTimeout = MAXDWORD;
      ASSERT_TRUE(Native().ComSetTimeouts(port, never));
    }
  }
  void TearDown() override {
    for (Handle port : {a_, b_}) {
      EXPECT_TRUE(port == kInvalidHandle || Native().ComClose(port));
    }
  }
  Handle a_ = kInvalidHandle;
  Handle b_ = kInvalidHandle;
};

TEST_F(Win32ComPair, StateRoundTripsThroughTheDeviceControlBlock) {
  for (const auto &[baud, xonXoff] : {std::pair<uint32_t, bool>{1200, false}, {19200, true}}) {
    SCOPED_TRACE(baud);
    ComState set, got;
    ASSERT_TRUE(Native().ComGetState(a_, &set));
    set.BaudRate = baud;
    set.fOutX = set.fInX = xonXoff;
    set.XonChar = 0x11;
    set.XoffChar = 0x13;
    set.StopBits = kOneStopBit;
    ASSERT_TRUE(Native().ComSetState(a_, set));
    ASSERT_TRUE(Native().ComGetState(a_, &got));
    EXPECT_EQ(got.BaudRate, baud);
    EXPECT_EQ(got.fOutX, xonXoff);
    EXPECT_EQ(got.fInX, xonXoff);
    EXPECT_EQ(got.StopBits, kOneStopBit);
  }
}

TEST_F(Win32ComPair, BytesCrossBothWaysPurgeDropsWhatCameAndAClosedPortRefusesAll) {
  const std::string command = "001TIME\r";
  uint32_t written = 0;
  ASSERT_TRUE(Native().ComWrite(a_, command.data(), command.size(), &written));
  EXPECT_EQ(written, command.size());
  EXPECT_EQ(ReadFor(b_, command.size(), 2000), command);

  ASSERT_TRUE(Native().ComTransmitChar(b_, 0x04));
  EXPECT_EQ(ReadFor(a_, 1, 2000), std::string(1, '\x04'));

  uint32_t mask = 0xFFFF;
  EXPECT_TRUE(Native().ComClearError(a_, &mask));
  EXPECT_EQ(mask, 0u);

  // A purge drops what was received, and an empty port reads at once.
  ASSERT_TRUE(Native().ComWrite(a_, "stale", 5, &written));
  Sleep(200);  // let the bytes reach the other end before purging them
  EXPECT_TRUE(Native().ComPurge(b_, kPurgeRxClear | kPurgeTxClear));
  char buffer[8];
  const DWORD start = GetTickCount();
  EXPECT_EQ(Native().ComRead(b_, buffer, sizeof buffer), 0u);
  EXPECT_LT(GetTickCount() - start, 500u);

  ASSERT_TRUE(Native().ComWrite(a_, "fresh", 5, &written));
  EXPECT_EQ(ReadFor(b_, 5, 2000), "fresh");

  // A closed port refuses everything.
  ASSERT_TRUE(Native().ComClose(a_));
  const Handle closed = a_;
  a_ = kInvalidHandle;
  ComState state;
  EXPECT_FALSE(Native().ComWrite(closed, "x", 1, &written) ||
               Native().ComGetState(closed, &state) || Native().ComClose(closed));
  EXPECT_EQ(Native().ComRead(closed, buffer, 1), 0u);
}

}  // namespace
}  // namespace veldc::platform
