// The pty transport on a device it did not create (the veldc-sim tests cover the pty it
// makes itself), in real time.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "sim/direct_line.h"
#include "sim/transport/pty_server.h"

namespace veldc::sim {
namespace {

// Reads until `count` carriage returns have arrived or `ms` have passed.
std::string ReadLines(int fd, int count, int ms) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::count(got.begin(), got.end(), '\r') < count &&
         std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      char buffer[256];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
  }
  return got;
}

TEST(PtyServerTest, ServesOnAnExistingDevice) {
  // A pty pair of the test's own: the server takes the slave as its device, the test is the
  // host on the master side.
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  termios tio{};
  tcgetattr(master, &tio);
  cfmakeraw(&tio);
  tcsetattr(master, TCSANOW, &tio);
  Terminal terminal;
  DirectLine line(terminal, LineTiming{1 * kMillis, 1 * kMillis});
  PtyServer server(line);
  std::string error;
  ASSERT_TRUE(server.StartOnDevice(name, &error)) << error;
  EXPECT_EQ(server.SlavePath(), name);
  ASSERT_EQ(write(master, "CFG 89\r", 7), 7);
  EXPECT_EQ(ReadLines(master, 1, 2000), "CFG 89 80264\r");
  server.Stop();
  close(master);
  close(slave);

  PtyServer missing(line);
  EXPECT_FALSE(missing.StartOnDevice("/nonexistent/tty", &error));
  EXPECT_NE(error.find("/nonexistent/tty"), std::string::npos);
}

}  // namespace
}  // namespace veldc::sim
