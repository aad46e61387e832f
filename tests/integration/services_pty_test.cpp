// The terminal services through a real pty against veldc-sim: files and programs go down and
// come back byte for byte; list, view and delete. Addressed network lines are used because
// they have no pause after each line, which keeps 2,000-record transfers to seconds.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "veldc.h"

#ifdef VELDC_SIM_PATH

namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void Write(const fs::path &path, const std::string &content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string Records(int count, const char *prefix) {
  std::string content;
  for (int i = 1; i <= count; ++i) content += prefix + std::to_string(i) + ";42;OK\r\n";
  return content;
}

std::string Error() {
  char text[VELDC_ERROR_TEXT_SIZE] = {};
  return std::to_string(GetError(text)) + " " + text;
}

// veldc-sim serving a terminal network with terminal 1 on a new pty, files loaded from
// `dir`/in and closed loads saved into `dir`/out.
class Simulator {
 public:
  explicit Simulator(const fs::path &dir) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      const std::string in = (dir / "in").string(), save = (dir / "out").string();
      execl(VELDC_SIM_PATH, VELDC_SIM_PATH, "--network", "-t", "1", "--files", in.c_str(), "--save",
            save.c_str(), "--reply-delay", "0", "--line-gap", "0", static_cast<char *>(nullptr));
      _exit(127);
    }
    close(out[1]);
    // The first line of its output is the pty's path.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    char c;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      if (read(out[0], &c, 1) != 1 || c == '\n') break;
      path_ += c;
    }
    close(out[0]);
  }
  ~Simulator() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 300 && waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) usleep(10000);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, WNOHANG);
  }
  const std::string &Path() const { return path_; }

 private:
  pid_t pid_ = -1;
  std::string path_;
};

class ServicesPty : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veldc-services-pty-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directory(dir_ / "in");
    fs::create_directory(dir_ / "out");
    Write(dir_ / "in" / "READY", "first\r\nsecond\r\n");
    sim_ = std::make_unique<Simulator>(dir_);
    ASSERT_FALSE(sim_->Path().empty());
    ASSERT_EQ(SetPortName(1, sim_->Path().c_str()), 0);
    ASSERT_GT(InitCOMM(1, DEV_SERIAL_NETWORK, 9600, 0), 0) << Error();
    ASSERT_EQ(SetTerminal(1), 0) << Error();
  }
  void TearDown() override {
    ExitCOMM();
    sim_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  // The simulator saves a closed load within 50 ms of the close.
  std::string Saved(const std::string &name) {
    for (int i = 0; i < 50 && !fs::exists(dir_ / "out" / name); ++i) usleep(20000);
    usleep(50000);
    return Read(dir_ / "out" / name);
  }

  fs::path dir_;
  std::unique_ptr<Simulator> sim_;
};

TEST_F(ServicesPty, FileGoesDownAndComesBackByteForByte) {
  const std::string content = Records(2000, "FILE");
  Write(dir_ / "up.txt", content);
  char name[] = "round";
  ASSERT_EQ(SendFile((dir_ / "up.txt").c_str(), name, 0, 0), 2000) << Error();
  EXPECT_EQ(Saved("ROUND"), content);
  ASSERT_EQ(RecvFile(name, (dir_ / "down.txt").c_str()), 2000) << Error();
  EXPECT_EQ(Read(dir_ / "down.txt"), content);
}

TEST_F(ServicesPty, ProgramGoesDownByteForByte) {
  const std::string content = Records(2000, "STEP");
  Write(dir_ / "prg.txt", content);
  ASSERT_EQ(SendPrg((dir_ / "prg.txt").c_str()), 2000) << Error();
  EXPECT_EQ(Saved("PROGRAM"), content);
}

TEST_F(ServicesPty, ListViewAndDelete) {
  char entries[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT] = {};
  ASSERT_EQ(ListFiles(nullptr, entries), 1) << Error();
  EXPECT_EQ(std::string(entries).substr(0, 5), "READY");
  char name[] = "ready";
  char buffer[128];
  EXPECT_EQ(ViewFile(name, buffer, sizeof buffer), 2) << Error();
  EXPECT_STREQ(buffer, "first\r\nsecond\r\n");
  EXPECT_EQ(DeleFile(name), 0) << Error();
  EXPECT_EQ(ListFiles(nullptr, entries), 0) << Error();
  EXPECT_EQ(DeleFile(name), -1);
  EXPECT_EQ(Error(), "65 Del command ignored");
}

}  // namespace

#endif
