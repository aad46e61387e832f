// Text that comes from a terminal reaches the user's screen escaped, so a terminal file or
// reply holding escape sequences cannot act on the user's terminal; in --json its 8-bit bytes
// are Latin-1 characters, so a name like Müller is recoverable.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "process.h"

namespace veldc::cli::test {
namespace {

using nlohmann::json;

// A terminal on a direct line played by the test: answers each command line the library sends.
class ScriptedTerminal {
 public:
  explicit ScriptedTerminal(std::function<std::string(const std::string &)> answer)
      : answer_(std::move(answer)) {
    char name[128];
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) return;
    path_ = name;
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedTerminal() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(master_);
    close(slave_);
  }
  const std::string &Path() const { return path_; }

 private:
  void Serve() {
    std::string line;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char c = 0;
      if (read(master_, &c, 1) != 1) continue;
      if (c != '\r') {
        line += c;
        continue;
      }
      const std::string reply = answer_(line) + "\r";
      line.clear();
      if (write(master_, reply.data(), reply.size()) < 0) return;
    }
  }

  std::function<std::string(const std::string &)> answer_;
  int master_ = -1, slave_ = -1;
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

const std::string kHostile = "\x1b]0;owned\x07\x1b[2J";  // a window title and a cleared screen

std::string Answer(const std::string &line) {
  if (line == "QRX") return "??";
  if (line.empty()) return "Veld>";
  if (line == "%XI") return "Veld V2.10 RAM F";
  if (line == "TIME") return "TIME 12" + kHostile;
  if (line == "DATE") return "DATE 6" + kHostile;
  if (line == "CFG 07") return "CFG 07 M\xFCller" + kHostile;
  if (line == "TYPE NOTE")
    return "TYPE NOTE\r\xC5sa" + kHostile +
           "\r\x04"
           "1";
  return line;
}

TEST(VeldcTerminalTextTest, EscapedOnTheScreenAndLatin1InJson) {
  ScriptedTerminal terminal(Answer);
  const std::string batch = "time\ndate\nparam 7\nparams get --select 7\nview NOTE\n";
  const Outcome text =
      RunProgram(kVeldc, {"--link", "direct:" + terminal.Path(), "--batch", "-"}, batch);
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find('\x07'), std::string::npos);
  const std::string shown = "\\x1b]0;owned\\x07\\x1b[2J";
  // A block read keeps 16 characters of a value.
  const std::vector<std::string> expected = {"12" + shown, "6" + shown, "M\\xfcller" + shown,
                                             "07=M\\xfcller\\x1b]0;owned\\x07", "\\xc5sa" + shown};
  EXPECT_EQ(Lines(text.out), expected);

  const Outcome js =
      RunProgram(kVeldc, {"--json", "--link", "direct:" + terminal.Path(), "--batch", "-"}, batch);
  ASSERT_EQ(js.status, 0) << js.err;
  EXPECT_EQ(SchemaErrors(js.out), "");
  const std::vector<json> r = JsonLines(js.out);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0]["time"], "12" + kHostile);
  EXPECT_EQ(r[2]["value"], "M\xC3\xBCller" + kHostile);  // ü as UTF-8: U+00FC
  EXPECT_EQ(r[3]["params"][0]["value"], "M\xC3\xBCller\x1b]0;owned\x07");
  EXPECT_EQ(r[4]["text"], "\xC3\x85sa" + kHostile + "\r\n");
}

}  // namespace
}  // namespace veldc::cli::test
