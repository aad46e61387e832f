// libveldc.so's real serial path through a pty, against a simulated line served in this process
// (the CLI's tests take each serial kind through veldc-sim), and the Pelo kind's real sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/direct_line.h"
#include "sim/transport/pty_server.h"
#include "veldc.h"

namespace veldc::sim {
namespace {

std::string Error() {
  char text[VELDC_ERROR_TEXT_SIZE] = "";
  const int code = GetError(text);
  return std::to_string(code) + " " + text;
}
std::string Outcome(int result) { return std::to_string(result) + " " + Error(); }

// Serves a line model on a fresh pty mapped to COM1; declared after the models it serves, so
// it stops serving (and closes the device) before they go.
class Served {
 public:
  explicit Served(ByteLine &line) : server_(line) {
    std::string error;
    const bool started = server_.Start(&error);
    EXPECT_TRUE(started) << error;
    if (started) SetPortName(1, server_.SlavePath().c_str());
  }
  ~Served() {
    ExitCOMM();
    SetPortName(1, nullptr);
    server_.Stop();
  }
  template <typename Fn>
  auto Locked(Fn fn) {
    std::lock_guard<std::mutex> lock(server_.ModelMutex());
    return fn();
  }
  // The far side goes away, as a pulled USB adapter does.
  void Close() { server_.Stop(); }

 private:
  PtyServer server_;
};

// Closing the pty's far side mid-transfer fails the upload at once with the port's error, and
// the partial PC file is deleted as after any failed upload.
TEST(SerialKinds, FarSideClosingMidTransferFailsAtOnce) {
  Terminal terminal("Veld", 0);
  terminal.PutFile('C', "DATA", std::vector<std::string>(1000, "0123456789"));
  DirectLine line(terminal);
  Served served(line);
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0), 1016) << Error();
  ASSERT_EQ(SetTerminal(0), 0) << Error();
  const std::string path = ::testing::TempDir() + "veldc_far_side_" + std::to_string(getpid());
  std::atomic<int64_t> closedAt{0};
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    served.Close();
    closedAt = std::chrono::steady_clock::now().time_since_epoch().count();
  });
  char name[] = "DATA";
  const int result = RecvFile(name, path.c_str());
  const int64_t endedAt = std::chrono::steady_clock::now().time_since_epoch().count();
  closer.join();
  EXPECT_EQ(Outcome(result), "-1 70 Windows error: 1024");
  EXPECT_LT((endedAt - closedAt.load()) / 1000000, 50) << "milliseconds from the close";
  EXPECT_EQ(std::fopen(path.c_str(), "rb"), nullptr) << "the partial file is deleted";
}

TEST(SerialKinds, AFifoAsThePcFileIsRefusedAtOnce) {
  Terminal terminal("Dulm", 0, 'P');
  terminal.PutFile('C', "DATA", {"R1"});
  DirectLine line(terminal);
  Served served(line);
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_DIRECT, 19200, 0), 1016) << Error();
  ASSERT_EQ(SetTerminal(0), 0) << Error();
  const auto heard = [&] { return served.Locked([&] { return terminal.Commands(); }); };
  // The far end held open: a library that opened the FIFO would not hang but go on and fail here.
  const std::string fifo = ::testing::TempDir() + "veldc_fifo_" + std::to_string(getpid());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int holder = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  // Nothing is sent before the PC file is open for an upload.
  size_t before = heard().size();
  char name[] = "DATA", load[] = "NEW";
  EXPECT_EQ(Outcome(RecvFile(name, fifo.c_str())), "-1 56 Not able to open file");
  EXPECT_EQ(heard().size(), before);
  // A download opens the PC file once the load is echoed; the load is then ended and the
  // partial file deleted on the terminal.
  before = heard().size();
  EXPECT_EQ(Outcome(SendFile(fifo.c_str(), load, 0, 0)), "-1 56 Not able to open file");
  const auto commands = heard();
  EXPECT_EQ(std::vector<std::string>(commands.begin() + before, commands.end()),
            (std::vector<std::string>{"LOAD NEW", "\x04", "DEL NEW"}));
  EXPECT_EQ(served.Locked([&] { return terminal.Files('C').count("NEW"); }), 0u);
  close(holder);
  unlink(fifo.c_str());
}

TEST(PeloKind, OpensAndClosesWithTheRealSocketLayer) {
  ASSERT_EQ(InitCOMM(70000, DEV_PELO, 0, 0), 4464) << Error();
  char address[VELDC_HOSTNAME_SIZE] = "";
  EXPECT_EQ(GetLocalIPAddress(address), 0) << Error();
  EXPECT_NE(std::string(address).find('.'), std::string::npos) << address;
  EXPECT_EQ(Outcome(SetIPAddress("127.0.0.256")), "-1 3 Wrong parameters");
  ASSERT_EQ(ExitCOMM(), 0) << Error();
  EXPECT_EQ(Outcome(ExitCOMM()), "-1 2 Device not initialized");
}

// Another host already on the port, one that asks to share it as the library once did: the
// library's bind is refused rather than both hearing the adapter's replies.
TEST(PeloKind, ASecondHostOnThePortIsRefused) {
  const int other = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  ::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
  socklen_t len = sizeof(a);
  ASSERT_EQ(::getsockname(other, reinterpret_cast<sockaddr *>(&a), &len), 0);
  const int port = ntohs(a.sin_port);
  ASSERT_EQ(InitCOMM(port, DEV_PELO, 0, 0), port) << Error();
  EXPECT_EQ(Outcome(SetIPAddress("127.0.0.2")), "-1 75 Error binding socket: 10048");
  ExitCOMM();
  ::close(other);
}

}  // namespace
}  // namespace veldc::sim
