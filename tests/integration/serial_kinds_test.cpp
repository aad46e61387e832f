// Each serial kind through a real pty, against the simulated lines served in this process: the
// library's real serial path, in real time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/direct_line.h"
#include "sim/logon_line.h"
#include "sim/modem.h"
#include "sim/network_interface.h"
#include "sim/transport/pty_server.h"
#include "veldc.h"

namespace veldc::sim {
namespace {

std::string Error() {
  char text[VELDC_ERROR_TEXT_SIZE] = "";
  const int code = GetError(text);
  return std::to_string(code) + " " + text;
}

// Serves a line model on a fresh pty mapped to COM1; declared after the models it serves, so
// it stops serving (and closes the device) before they go.
class Served {
 public:
  explicit Served(ByteLine &line) : server_(line) {
    std::string error;
    started_ = server_.Start(&error);
    EXPECT_TRUE(started_) << error;
    if (started_) SetPortName(1, server_.SlavePath().c_str());
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
  Micros Now() const { return server_.Now(); }
  // The far side goes away, as a pulled USB adapter does.
  void Close() { server_.Stop(); }

 private:
  PtyServer server_;
  bool started_ = false;
};

class SerialKinds : public ::testing::Test {
 protected:
  char reply_[VELDC_REPLY_SIZE] = "";
};

TEST_F(SerialKinds, DirectLineSelectsExchangesPostsAndListens) {
  Terminal terminal("Dulm", 0, 'P');
  DirectLine line(terminal);
  Served served(line);
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_DIRECT, 19200, 0), 1016) << Error();
  ASSERT_EQ(SetTerminal(0), 0) << Error();
  ASSERT_EQ(SendCommand("%XI", reply_), 0) << Error();
  EXPECT_NE(std::string(reply_).find("Dulm"), std::string::npos) << reply_;

  ASSERT_EQ(PostCommand("CFG 07"), 0) << Error();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(GetResponse(reply_), 0) << Error();
  EXPECT_EQ(std::string(reply_).rfind("CFG 07", 0), 0u) << reply_;
  EXPECT_EQ(GetResponse(reply_), -1);
  EXPECT_EQ(Error(), "40 No reply from terminal");

  served.Locked([&] {
    terminal.QueueMessage("BADGE 00417", served.Now() + 200 * kMillis);
    return 0;
  });
  ASSERT_EQ(GetMsgEx(reply_), 0) << Error();
  EXPECT_STREQ(reply_, "BADGE 00417");
  EXPECT_EQ(GetMsgEx(reply_), -1);
  EXPECT_EQ(Error(), "40 No reply from terminal");
}

TEST_F(SerialKinds, LogonLineReachesEachTerminal) {
  Terminal own("Veld", 0), second("Qyr", 2), third("Sorvik", 3);
  LogonLine line({&own, &second, &third});
  Served served(line);
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_LOGON, 9600, 0), 1016) << Error();
  ASSERT_EQ(SetTerminal(2), 0) << Error();
  EXPECT_EQ(served.Locked([&] { return line.LoggedOn(); }), 2);
  ASSERT_EQ(SendCommand("%XI", reply_), 0) << Error();
  EXPECT_NE(std::string(reply_).find("Qyr"), std::string::npos) << reply_;
  ASSERT_EQ(ChgTerminal(0), 0) << Error();
  EXPECT_EQ(served.Locked([&] { return line.LoggedOn(); }), 0);
}

TEST_F(SerialKinds, NetworkInterfaceIsSetUpSelectedAndReleased) {
  Terminal first("Veld", 1), twelfth("Dulm", 12);
  NetworkInterface line({&first, &twelfth});
  Served served(line);
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_NETWORK, 38400, 0), 1016) << Error();
  ASSERT_EQ(SetTerminal(12), 0) << Error();
  EXPECT_EQ(served.Locked([&] { return line.Selected(); }), 12);
  ASSERT_EQ(SendCommand("%XI", reply_), 0) << Error();
  EXPECT_NE(std::string(reply_).find("Dulm"), std::string::npos) << reply_;
  ASSERT_EQ(ExitCOMM(), 0) << Error();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::vector<std::string> expected = {"&", "*0", "@011", ">b", ">PS255", ">PS012", ">P0"};
  EXPECT_EQ(served.Locked([&] { return line.SetupCommands(); }), expected);
}

TEST_F(SerialKinds, ModemDialsSelectsAndHangsUp) {
  Terminal terminal("Veld", 0);
  DirectLine line(terminal);
  Modem modem(line, ModemTiming{10 * kMillis, 1200 * kMillis, 200 * kMillis});
  Served served(modem);
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_DIRECT, 9600, 0), 1016) << Error();
  ASSERT_EQ(DialNumber("ATX4", "0499123456", 20), 0) << Error();
  EXPECT_TRUE(served.Locked([&] { return modem.Connected(); }));
  EXPECT_EQ(served.Locked([&] { return modem.S7(); }), 20);
  ASSERT_EQ(SetTerminal(0), 0) << Error();
  ASSERT_EQ(HangUp(), 0) << Error();
  EXPECT_FALSE(served.Locked([&] { return modem.Connected(); }));
}

// Closing the pty's far side mid-transfer fails the upload at once with the port's error, and
// the partial PC file is deleted as after any failed upload.
TEST_F(SerialKinds, FarSideClosingMidTransferFailsAtOnce) {
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
  EXPECT_EQ(result, -1);
  EXPECT_EQ(Error(), "70 Windows error: 1024");
  EXPECT_LT((endedAt - closedAt.load()) / 1000000, 50) << "milliseconds from the close";
  EXPECT_EQ(std::fopen(path.c_str(), "rb"), nullptr) << "the partial file is deleted";
}

// A FIFO for the PC file. An open that waits for the FIFO's other end would hang the test: a
// watchdog opens that end after three seconds and records that it had to.
class Fifo {
 public:
  Fifo() : path_(::testing::TempDir() + "veldc_fifo_" + std::to_string(::getpid())) {
    std::remove(path_.c_str());
    EXPECT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    watchdog_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (done_.wait_for(lock, std::chrono::seconds(3), [this] { return finished_; })) return;
      hung_ = true;
      const int fd = ::open(path_.c_str(), O_RDWR | O_NONBLOCK);
      done_.wait(lock, [this] { return finished_; });
      ::close(fd);
    });
  }
  ~Fifo() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
    watchdog_.join();
    std::remove(path_.c_str());
  }
  const char *Path() const { return path_.c_str(); }
  bool Hung() const { return hung_; }

 private:
  std::string path_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::atomic<bool> hung_{false};
  std::thread watchdog_;
};

TEST_F(SerialKinds, AFifoAsThePcFileIsRefusedAtOnce) {
  Terminal terminal("Dulm", 0, 'P');
  terminal.PutFile('C', "DATA", {"R1"});
  DirectLine line(terminal);
  Served served(line);
  ASSERT_EQ(InitCOMM(1, DEV_SERIAL_DIRECT, 19200, 0), 1016) << Error();
  ASSERT_EQ(SetTerminal(0), 0) << Error();
  const auto heard = [&] { return served.Locked([&] { return terminal.Commands(); }); };
  {
    // Nothing is sent before the PC file is open for an upload.
    Fifo fifo;
    const size_t before = heard().size();
    char name[] = "DATA";
    EXPECT_EQ(RecvFile(name, fifo.Path()), -1);
    EXPECT_EQ(Error(), "56 Not able to open file");
    EXPECT_FALSE(fifo.Hung());
    EXPECT_EQ(heard().size(), before);
  }
  {
    // A download opens the PC file once the load is echoed; the load is then ended and the
    // partial file deleted on the terminal.
    Fifo fifo;
    const size_t before = heard().size();
    char name[] = "NEW";
    EXPECT_EQ(SendFile(fifo.Path(), name, 0, 0), -1);
    EXPECT_EQ(Error(), "56 Not able to open file");
    EXPECT_FALSE(fifo.Hung());
    const auto commands = heard();
    EXPECT_EQ(std::vector<std::string>(commands.begin() + before, commands.end()),
              (std::vector<std::string>{"LOAD NEW", "\x04", "DEL NEW"}));
    EXPECT_EQ(served.Locked([&] { return terminal.Files('C').count("NEW"); }), 0u);
  }
}

TEST(PeloKind, OpensAndClosesWithTheRealSocketLayer) {
  ASSERT_EQ(InitCOMM(70000, DEV_PELO, 0, 0), 4464) << Error();
  char address[VELDC_HOSTNAME_SIZE] = "";
  EXPECT_EQ(GetLocalIPAddress(address), 0) << Error();
  EXPECT_NE(std::string(address).find('.'), std::string::npos) << address;
  EXPECT_EQ(SetIPAddress("127.0.0.256"), -1);
  EXPECT_EQ(Error(), "3 Wrong parameters");
  ASSERT_EQ(ExitCOMM(), 0) << Error();
  EXPECT_EQ(ExitCOMM(), -1);
  EXPECT_EQ(Error(), "2 Device not initialized");
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
  EXPECT_EQ(SetIPAddress("127.0.0.2"), -1);
  EXPECT_EQ(Error(), "75 Error binding socket: 10048");
  ExitCOMM();
  ::close(other);
}

}  // namespace
}  // namespace veldc::sim
