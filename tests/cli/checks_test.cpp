// What veldc refuses before the line is touched, and the causes it names when a port cannot be
// opened: each refusal is quick, sends nothing and says what is wrong.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "process.h"

namespace veldc::cli::test {
namespace {

using nlohmann::json;

// A pty whose far end the test watches for anything veldc might send.
class Line {
 public:
  Line() {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) path_ = name;
  }
  ~Line() {
    close(master_);
    close(slave_);
  }
  const std::string &Path() const { return path_; }
  bool Quiet() const {
    pollfd p{master_, POLLIN, 0};
    return poll(&p, 1, 50) == 0;
  }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

TEST(VeldcChecksTest, MistakesAreRefusedAtOnceAndNothingIsSent) {
  TempDir dir;
  const std::string r127(127, 'x');
  dir.Write("unix.txt", "A\nB\n");
  dir.Write("mixed.txt", "A\r\nB\nC\r\n");
  dir.Write("long.txt", "A\r\nB\r\n" + r127 + "y\r\n");
  std::string many;
  for (int i = 0; i < 10001; ++i) many += "R\r\n";
  dir.Write("many.txt", many);
  mkfifo(dir.File("fifo").c_str(), 0600);
  Line line;
  const std::string direct = "direct:" + line.Path();
  const std::string logon = "logon:" + line.Path();
  const std::string network = "network:" + line.Path();
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message, batch = "";
  } cases[] = {
      {{"--link", direct, "-a", "5", "time"},
       100,
       "terminal address 5 is not possible on a direct link (only 0)"},
      {{"--link", logon, "-a", "32", "time"}, 100, "on a log-on line (0 to 31)"},
      {{"--link", network, "-a", "1,0", "time"},
       100,
       "terminal address 0 is not possible on a network"},
      {{"--link", network, "-a", "1000", "time"}, 100, "address 1000 is not possible"},
      {{"--link", direct, "-a", "-1", "time"}, 100, "--address \"-1\" is not an address"},
      {{"--link", direct, "-p", "123456", "time"}, 100, "a password has 1 to 5 characters, not 6"},
      {{"--link", direct, "time", "240000"}, 100, "time \"240000\" is not HHMMSS"},
      {{"--link", direct, "time", "12:00:"}, 100, "time \"12:00:\" is not HHMMSS"},
      {{"--link", direct, "date", "7261205"}, 100, "date \"7261205\" is not WYYMMDD"},
      {{"--link", direct, "date", "6260230"}, 100, "date \"6260230\" is not WYYMMDD"},
      {{"--link", direct, "param", "100"}, 100, "parameter 100 does not exist (0 to 99)"},
      {{"--link", direct, "param", "5", std::string(33, 'v')},
       100,
       "at most 32 characters, not 33"},
      {{"--link", direct, "drive", "D"}, 100, "drive \"D\" is not A, B or C"},
      {{"--link", direct, "view", "NINECHARS"}, 100, "\"NINECHARS\" must have 1 to 8 characters"},
      {{"--link", direct, "send", std::string(128, 'c')}, 100, "at most 127 characters, not 128"},
      {{"--link", direct, "download", dir.File("unix.txt")},
       101,
       "unix.txt: line 1 ends in LF only (a Unix text file); give --lf"},
      {{"--link", direct, "download", dir.File("mixed.txt")},
       101,
       "mixed.txt: line 2 ends in LF only (mixed line ends)"},
      {{"--link", direct, "download", dir.File("long.txt")},
       101,
       "long.txt: line 3 is longer than the 127 characters a record holds"},
      {{"--link", direct, "download", dir.File("many.txt")},
       101,
       "many.txt: 10001 records; a terminal file takes at most 10000"},
      {{"--link", direct, "download", dir.File("fifo"), "F"}, 101, "fifo: not a regular file"},
      {{"--link", direct, "params", "set", dir.File("fifo")}, 101, "fifo: not a regular file"},
      {{"--link", direct, "--batch", dir.File("fifo")}, 101, "fifo: not a regular file"},
      {{"--link", direct, "--batch", "-"},
       100,
       "stdin:3: parameter 100 does not exist",
       "time\nparam 1\nparam 100\n"},
      {{"--link", direct, "--batch", "-"}, 100, "stdin:2: unknown command", "time\nfrob\n"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = {"--json", "--trace"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = RunProgram(kVeldc, args, c.batch, 10);
    const auto took = std::chrono::steady_clock::now() - start;
    SCOPED_TRACE(c.message + "\n" + outcome.err);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_NE(outcome.err.find(c.message), std::string::npos);
    EXPECT_EQ(outcome.err.find("port ->"), std::string::npos);  // no frame went out
    EXPECT_TRUE(line.Quiet());
    const std::vector<json> results = JsonLines(outcome.out);
    ASSERT_EQ(results.size(), 1u) << outcome.out;
    EXPECT_LT(results[0]["duration"].get<double>(), 0.1);  // judged within 100 ms
    EXPECT_LT(took, std::chrono::seconds(5));              // the whole process, start included
  }
}

// Missing, busy, not permitted and not a serial port each read as what they are.
TEST(VeldcChecksTest, PortOpenFailuresNameTheirCause) {
  Line busy;
  const int holder = open(busy.Path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  Line locked;
  std::vector<std::string> asNobody;
  if (geteuid() == 0) {
    asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  } else {
    chmod(locked.Path().c_str(), 0);
  }
  const struct {
    std::string device;
    std::vector<std::string> prefix;
    std::string cause, hint;
  } cases[] = {
      {"/nonexistent/ttyUSB9",
       {},
       "/nonexistent/ttyUSB9: No such file or directory",
       "no such device: veldc ports lists"},
      {busy.Path(), {}, busy.Path() + ": Device or resource busy", "is in use by"},
      {locked.Path(), asNobody, locked.Path() + ": Permission denied", "dialout"},
      {"/dev/null", {}, "/dev/null: not a serial device", "not a serial port"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = c.prefix;
    args.insert(args.end(), {kVeldc, "--json", "--link", "direct:" + c.device, "time"});
    const Outcome outcome = RunProgram(args[0], {args.begin() + 1, args.end()});
    SCOPED_TRACE(c.device + "\n" + outcome.err);
    EXPECT_EQ(outcome.status, 22);
    EXPECT_NE(
        outcome.err.find("Unable to open RS232 com port (opening the direct link): " + c.cause),
        std::string::npos);
    EXPECT_NE(outcome.err.find("veldc: hint: "), std::string::npos);
    const std::vector<json> results = JsonLines(outcome.out);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["error"]["detail"], c.cause);
    EXPECT_NE(results[0]["error"]["hint"].get<std::string>().find(c.hint), std::string::npos);
  }
  close(holder);
}

}  // namespace
}  // namespace veldc::cli::test
