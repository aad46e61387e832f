// libveldc.so's Pelo kind, as a host links it, on the real socket layer (the CLI's tests take
// it to veldc-sim's adapter).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "veldc.h"

// Another host already on the port, one that asks to share it as the library once did: the
// library's bind is refused rather than both hearing the adapter's replies.
TEST(PeloKind, ASecondHostOnThePortIsRefused) {
  const int other = ::socket(AF_INET, SOCK_DGRAM, 0), on = 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof a;
  ASSERT_TRUE(::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              ::bind(other, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
              ::getsockname(other, reinterpret_cast<sockaddr *>(&a), &len) == 0);
  const int port = ntohs(a.sin_port);
  ASSERT_EQ(InitCOMM(port, DEV_PELO, 0, 0), port);
  char text[VELDC_ERROR_TEXT_SIZE] = "";
  EXPECT_TRUE(SetIPAddress("127.0.0.2") == -1 && GetError(text) == 75) << text;
  EXPECT_STREQ(text, "Error binding socket: 10048");
  ExitCOMM();
  ::close(other);
}
