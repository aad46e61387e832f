// veldc-sim against a hostile host, in real time: a megabyte of anything on its line, a few
// thousand datagrams of any length and type at its adapter. It must keep serving (the next
// sound command is answered) and stop cleanly; under the asan preset it runs instrumented.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <random>
#include <string>

#include "process.h"

#ifdef VELDC_SIM_PATH

namespace veldc::cli::test {
namespace {

// Reads until `want` shows up or `ms` pass without any byte; all that was read.
std::string ReadUntil(int fd, const std::string &want, int ms) {
  std::string got;
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (got.find(want) == std::string::npos && ::poll(&p, 1, ms) == 1) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

TEST(SimulatorAgainstAHostileHost, AnythingOnTheLine) {
  Background sim(VELDC_SIM_PATH, {});
  const int fd = ::open(sim.FirstLine().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0) << sim.FirstLine();
  termios raw;
  ASSERT_EQ(::tcgetattr(fd, &raw), 0);
  ::cfmakeraw(&raw);
  ASSERT_EQ(::tcsetattr(fd, TCSANOW, &raw), 0);
  std::mt19937 rng(14);
  const char *const words[] = {"LOAD ../X\r", "TYPE DATA\r", "\x04\r", "CFG 07=", "\r", "%XI"};
  std::string junk;
  while (junk.size() < (1u << 20)) {
    const int pick = std::uniform_int_distribution<int>(0, 9)(rng);
    if (pick < 6) {
      junk += words[pick];
    } else {
      junk.append(std::uniform_int_distribution<size_t>(1, 5000)(rng),
                  static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng)));
    }
  }
  for (size_t at = 0; at < junk.size();) {
    const ssize_t n = ::write(fd, junk.data() + at, junk.size() - at);
    ASSERT_GT(n, 0);
    at += static_cast<size_t>(n);
    ReadUntil(fd, "\x01never", 0);  // the replies must not fill the line
  }
  ReadUntil(fd, "\x01never", 500);
  ASSERT_EQ(::write(fd, "\r%XI\r", 5), 5);
  EXPECT_NE(ReadUntil(fd, "Veld", 3000).find("Veld"), std::string::npos);
  ::close(fd);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimulatorAgainstAHostileHost, AnythingAtTheAdapter) {
  const std::string port = std::to_string(40000 + getpid() % 20000);
  Background sim(VELDC_SIM_PATH, {"--pelo", "--pelo-port", port, "-t", "1"});
  ASSERT_EQ(sim.FirstLine(), "127.0.0.2:" + port);
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in adapter{};
  adapter.sin_family = AF_INET;
  adapter.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
  adapter.sin_addr.s_addr = htonl(0x7F000002);
  ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr *>(&adapter), sizeof adapter), 0);
  std::mt19937 rng(14);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int i = 0; i < 3000; ++i) {
    std::string d(static_cast<size_t>(pick(0, 300)), '\0');
    for (char &c : d) c = static_cast<char>(pick(0, 255));
    if (d.size() >= 4 && pick(0, 1) == 0) d[0] = static_cast<char>(pick(2, 6)), d[1] = 0;
    // No reset: a reset to another address would move the adapter away from this test.
    if (d.size() >= 5 && d[0] == 6 && (d[4] == '%' || d[4] == 'A')) d[4] = 'Q';
    ::send(s, d.data(), d.size(), 0);
    if (i % 100 == 0) ReadUntil(s, "\x01never", 0);
  }
  ReadUntil(s, "\x01never", 500);
  // The status command: type 6, number 0x2A, "X".
  ASSERT_EQ(::send(s, "\x06\x00\x2A\x00X\x00", 6, 0), 6);
  EXPECT_NE(ReadUntil(s, std::string("\x06\x00\x2A\x00", 4), 3000)
                .find(std::string("\x06\x00\x2A\x00", 4)),
            std::string::npos);
  ::close(s);
  EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
}  // namespace veldc::cli::test

#endif
