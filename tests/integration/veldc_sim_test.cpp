// The library against veldc-sim as a process, in real time: a locked network terminal through
// the pty it prints, and its Pelo adapter over UDP loopback; files and a program go both ways
// byte for byte, a silent adapter times out, and the simulator stops cleanly on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "veldc.h"

#ifdef VELDC_SIM_PATH

namespace {

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

class SimProcess {
 public:
  // Starts veldc-sim with `args`; the first line of its output is the line's path, or where
  // the adapter listens.
  explicit SimProcess(const std::vector<std::string> &args) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::vector<char *> argv = {const_cast<char *>(VELDC_SIM_PATH)};
      for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(VELDC_SIM_PATH, argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    char c;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      if (read(out_, &c, 1) != 1 || c == '\n') break;
      path_ += c;
    }
  }
  ~SimProcess() {
    if (pid_ > 0) Stop();
    if (out_ >= 0) close(out_);
  }
  // SIGTERM, then the exit status (-1 when it did not exit within 3 s).
  int Stop() {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
  }
  const std::string &Path() const { return path_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string path_;
};

class VeldcSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veldc-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(mkdir((dir_ + "/in").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir_ + "/out").c_str(), 0700), 0);
  }
  void TearDown() override {
    ExitCOMM();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string Error() {
    char text[VELDC_ERROR_TEXT_SIZE] = {};
    return std::to_string(GetError(text)) + " " + text;
  }
  // The simulator saves a closed load within 50 ms of the close.
  std::string Saved(const std::string &name) {
    const std::string path = dir_ + "/out/" + name;
    for (int i = 0; i < 50 && access(path.c_str(), F_OK) != 0; ++i) usleep(20000);
    usleep(50000);
    return ReadFile(path);
  }
  static std::string Numbered(int count) {
    std::string content;
    for (int i = 1; i <= count; ++i) content += "REC" + std::to_string(i) + ";42;OK\r\n";
    return content;
  }
  std::string dir_;
};

// A UDP port of this process's own, so that tests running side by side do not meet.
int TestPort() { return 20000 + static_cast<int>(getpid() % 40000); }

// Addressed network lines have no pause after each line, which keeps the transfers short.
TEST_F(VeldcSimTest, NetworkTerminalWithItsPasswordTakesAFileAndAProgram) {
  SimProcess sim({"--network", "-t", "5:Sorvik:P:4711", "-t", "9", "--locked", "--files",
                  dir_ + "/in", "--save", dir_ + "/out", "--reply-delay", "0", "--line-gap", "0"});
  ASSERT_FALSE(sim.Path().empty());
  ASSERT_EQ(SetPortName(1, sim.Path().c_str()), 0);
  ASSERT_GT(InitCOMM(1, DEV_SERIAL_NETWORK, 9600, 0), 0) << Error();
  ASSERT_EQ(SetPassword("4711"), 0);
  ASSERT_EQ(SetTerminal(5), 0) << Error();
  char value[VELDC_REPLY_SIZE] = {};
  EXPECT_EQ(GetParameter(89, value), 0) << Error();
  EXPECT_STREQ(value, "4711");

  const std::string content = Numbered(2000);
  const std::string up = dir_ + "/up.txt";
  std::ofstream(up, std::ios::binary) << content;
  char name[] = "round";
  ASSERT_EQ(SendFile(up.c_str(), name, 0, 0), 2000) << Error();
  EXPECT_EQ(Saved("ROUND"), content);
  const std::string down = dir_ + "/down.txt";
  ASSERT_EQ(RecvFile(name, down.c_str()), 2000) << Error();
  EXPECT_EQ(ReadFile(down), content);
  ASSERT_EQ(SendPrg(up.c_str()), 2000) << Error();
  EXPECT_EQ(Saved("PROGRAM"), content);
  EXPECT_EQ(ExitCOMM(), 0) << Error();
  EXPECT_EQ(sim.Stop(), 0);
}

// The adapter answers at once: the transfer's pace is the library's own.
TEST_F(VeldcSimTest, PeloAdapterOverUdpTakesAThousandRecordsBothWays) {
  const std::string content = Numbered(1000), port = std::to_string(TestPort());
  std::ofstream(dir_ + "/in/BATCH", std::ios::binary) << content;
  SimProcess sim({"--pelo", "--pelo-port", port, "-t", "1", "--files", dir_ + "/in", "--save",
                  dir_ + "/out", "--pelo-delay", "0"});
  ASSERT_EQ(sim.Path(), "127.0.0.2:" + port);
  ASSERT_EQ(InitCOMM(TestPort(), DEV_PELO, 0, 0), TestPort()) << Error();
  ASSERT_EQ(SetWinSockTimeOut(1), 0);
  ASSERT_EQ(SetIPAddress("127.0.0.2"), 0) << Error();
  ASSERT_EQ(SetTerminal(1), 0) << Error();
  char name[] = "batch";
  EXPECT_EQ(RecvFile(name, (dir_ + "/down.txt").c_str()), 1000) << Error();
  EXPECT_EQ(ReadFile(dir_ + "/down.txt"), content);
  char copy[] = "batch2";
  EXPECT_EQ(SendFile((dir_ + "/in/BATCH").c_str(), copy, 0, 0), 1000) << Error();
  EXPECT_EQ(Saved("BATCH2"), content);
}

TEST_F(VeldcSimTest, SilentPeloAdapterTimesOut) {
  const std::string port = std::to_string(TestPort());
  SimProcess sim({"--pelo", "--pelo-port", port, "--pelo-silent"});
  ASSERT_EQ(sim.Path(), "127.0.0.2:" + port);
  ASSERT_EQ(InitCOMM(TestPort(), DEV_PELO, 0, 0), TestPort()) << Error();
  ASSERT_EQ(SetWinSockTimeOut(1), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SetIPAddress("127.0.0.2"), -1);
  EXPECT_EQ(Error(), "79 WinSocket timeout expired");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::seconds(1));
  EXPECT_LT(took, std::chrono::seconds(3));
}

}  // namespace

#endif
