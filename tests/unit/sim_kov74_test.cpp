// The settings that make the simulated Kov74 driver fail, which the driver stand-in's tests
// and fuzz target depend on.
#include <gtest/gtest.h>

#include <string>

#include "sim/kov74_network.h"

namespace veldc::sim {
namespace {

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
