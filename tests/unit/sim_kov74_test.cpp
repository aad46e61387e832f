// The simulated Kov74 terminal network: the driver's results and the test settings.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim/kov74_network.h"

namespace veldc::sim {
namespace {

constexpr Micros kMs = kMillis;

TEST(Kov74NetworkTest, OpenSpeedAndCloseResults) {
  struct Case {
    int port, mode, c254, option, result;
  };
  const Case cases[] = {{1, 0, 254, -1, 1}, {4, 2, 254, 0, 1},  {0, 0, 254, 0, -1},
                        {5, 0, 254, 0, -1}, {1, 3, 254, 0, -1}, {1, 0, 253, 0, -1},
                        {1, 0, 254, 1, -1}};
  for (const Case &c : cases) {
    Kov74Network net;
    EXPECT_EQ(net.Open(c.port, c.mode, c.c254, c.option), c.result)
        << c.port << " " << c.mode << " " << c.c254 << " " << c.option;
  }
  Kov74Network net;
  EXPECT_EQ(net.SetSpeed(0), -1) << "not open";
  EXPECT_EQ(net.Close(), -255);
  ASSERT_EQ(net.Open(1, 0, 254, 0), 1);
  EXPECT_EQ(net.Open(1, 0, 254, 0), -3);
  for (int code : {0, 1, 2, 3}) EXPECT_EQ(net.SetSpeed(code), 0) << code;
  EXPECT_EQ(net.SetSpeed(4), -1);
  EXPECT_EQ(net.SetSpeed(-1), -1);
  EXPECT_EQ(net.Speed(), 3);
  EXPECT_EQ(net.Close(), 0);
  EXPECT_EQ(net.Close(), -255);
}

TEST(Kov74NetworkTest, SendQueuesRepliesThatPollHandsOut) {
  Kov74Network net(LineTiming{20 * kMs, 2 * kMs});
  net.CreateTerminals(3, "Sorvik");
  ASSERT_EQ(net.Open(1, 0, 254, 0), 1);
  char record[200];
  EXPECT_EQ(net.Poll(2, record, 0), 1) << "present, nothing waiting";
  EXPECT_EQ(net.Poll(4, record, 0), 0) << "nobody at 4";
  EXPECT_EQ(net.Send(4, "TIME", 0), 1);
  EXPECT_EQ(net.Send(2, std::string(121, 'x').c_str(), 0), 1) << "longer than 120";
  EXPECT_EQ(net.Send(2, std::string(120, 'x').c_str(), 0), 0);
  EXPECT_EQ(net.Send(2, "%XI", 0), 0);
  EXPECT_EQ(net.Poll(2, record, 19 * kMs), 1) << "not due yet";
  ASSERT_EQ(net.Poll(2, record, 20 * kMs), 2);
  EXPECT_EQ(record[0], 2);
  EXPECT_STREQ(record + 1, "??") << "the 120 x's are not a command";
  ASSERT_EQ(net.Poll(2, record, 22 * kMs), 2);
  EXPECT_STREQ(record + 1, "Sorvik V2.10 RAM F");
  EXPECT_EQ(net.Poll(2, record, 22 * kMs), 1);

  // A long reply is cut to 127 characters after the sender byte.
  net.At(1)->SetParameter(3, std::string(140, 'v'));
  net.Send(1, "CFG 03", 0);
  ASSERT_EQ(net.Poll(1, record, kMs * 100), 2);
  EXPECT_EQ(std::strlen(record + 1), 127u);

  net.At(3)->QueueMessage("BADGE 5", 0);
  ASSERT_EQ(net.Poll(3, record, 0), 2);
  EXPECT_STREQ(record + 1, "BADGE 5");
}

TEST(Kov74NetworkTest, SettingsOverrideResults) {
  struct Case {
    const char *settings;
    int open, speed, poll, send, close;
  };
  const Case cases[] = {
      {"", 1, 0, 1, 0, 0},
      {"open=-3", -3, -1, 0, 1, -255},
      {"open=0;speed=-2", 0, -2, 0, 1, -255},
      {"poll=0,send=1", 1, 0, 0, 1, 0},
      {"close=-7", 1, 0, 1, 0, -7},
      {"send=1;reset", 1, 0, 1, 0, 0},
  };
  for (const Case &c : cases) {
    Kov74Network net;
    net.CreateTerminals(2, "Veld");
    ASSERT_TRUE(net.Apply(c.settings)) << c.settings;
    char record[200];
    EXPECT_EQ(net.Open(1, 0, 254, 0), c.open) << c.settings;
    EXPECT_EQ(net.SetSpeed(1), c.speed) << c.settings;
    EXPECT_EQ(net.Poll(1, record, 0), c.poll) << c.settings;
    EXPECT_EQ(net.Send(1, "%XI", 0), c.send) << c.settings;
    EXPECT_EQ(net.Close(), c.close) << c.settings;
  }
  Kov74Network net;
  EXPECT_FALSE(net.Apply("terminals=2;bogus=1"));
}

}  // namespace
}  // namespace veldc::sim
