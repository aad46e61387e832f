// The library over real UDP on loopback against veldc-sim --pelo: a file of 1,000 records both
// ways, and the time-out of a silent adapter.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "veldc.h"

#ifdef VELDC_SIM_PATH

namespace {

namespace fs = std::filesystem;

std::string Error() {
  char text[VELDC_ERROR_TEXT_SIZE] = {};
  return std::to_string(GetError(text)) + " " + text;
}

std::string Read(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

// A port of this process's own, so that tests running side by side do not meet.
int TestPort() { return 20000 + static_cast<int>(getpid() % 40000); }

// veldc-sim --pelo on 127.0.0.2; the first line it prints says it is listening.
class PeloSimulator {
 public:
  explicit PeloSimulator(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::vector<char *> argv = {const_cast<char *>(VELDC_SIM_PATH)};
      for (std::string &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(VELDC_SIM_PATH, argv.data());
      _exit(127);
    }
    close(out[1]);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    char c;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      if (read(out[0], &c, 1) != 1 || c == '\n') break;
      banner_ += c;
    }
    close(out[0]);
  }
  ~PeloSimulator() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  const std::string &Banner() const { return banner_; }

 private:
  pid_t pid_ = -1;
  std::string banner_;
};

class PeloUdp : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> args) {
    port_ = TestPort();
    args.insert(args.begin(), {"--pelo", "--pelo-port", std::to_string(port_)});
    sim_ = std::make_unique<PeloSimulator>(args);
    ASSERT_EQ(sim_->Banner(), "127.0.0.2:" + std::to_string(port_));
    ASSERT_EQ(InitCOMM(port_, DEV_PELO, 0, 0), port_) << Error();
    ASSERT_EQ(SetWinSockTimeOut(1), 0);
  }
  void TearDown() override {
    ExitCOMM();
    sim_.reset();
  }

  int port_ = 0;
  std::unique_ptr<PeloSimulator> sim_;
};

// A scratch directory with a file of 1,000 records; removed at the end.
class PeloUdpFiles : public PeloUdp {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veldc-pelo-udp-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directory(dir_ / "in");
    fs::create_directory(dir_ / "out");
    for (int i = 1; i <= 1000; ++i) content_ += "REC" + std::to_string(i) + ";7;OK\r\n";
    std::ofstream(dir_ / "in" / "BATCH", std::ios::binary) << content_;
  }
  void TearDown() override {
    PeloUdp::TearDown();
    fs::remove_all(dir_);
  }
  // The adapter answers at once: the transfer's pace is the library's own.
  void StartWithFiles() {
    Start({"-t", "1", "--files", (dir_ / "in").string(), "--save", (dir_ / "out").string(),
           "--pelo-delay", "0"});
    ASSERT_EQ(SetIPAddress("127.0.0.2"), 0) << Error();
    ASSERT_EQ(SetTerminal(1), 0) << Error();
  }

  fs::path dir_;
  std::string content_;
};

TEST_F(PeloUdpFiles, AThousandRecordsBothWays) {
  ASSERT_NO_FATAL_FAILURE(StartWithFiles());
  char name[] = "batch";
  EXPECT_EQ(RecvFile(name, (dir_ / "down.txt").c_str()), 1000) << Error();
  EXPECT_EQ(Read(dir_ / "down.txt"), content_);
  char copy[] = "batch2";
  EXPECT_EQ(SendFile((dir_ / "in" / "BATCH").c_str(), copy, 0, 0), 1000) << Error();
  for (int i = 0; i < 50 && Read(dir_ / "out" / "BATCH2").size() < content_.size(); ++i) {
    usleep(20000);  // the simulator saves closed loads on its own beat
  }
  EXPECT_EQ(Read(dir_ / "out" / "BATCH2"), content_);
}

TEST_F(PeloUdp, SilentAdapterTimesOut) {
  Start({"--pelo-silent"});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SetIPAddress("127.0.0.2"), -1);
  EXPECT_EQ(Error(), "79 WinSocket timeout expired");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace

#endif  // VELDC_SIM_PATH
