// Runs veldc and veldc-sim as a user would and captures what they say.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace veldc::cli::test {

inline const std::string kVeldc = VELDC_TOOL_PATH;

struct Outcome {
  int status = -1;  // -1 when the program did not exit normally
  std::string out, err;
};

// A signal sent to the program once its stderr holds `when`.
struct SignalAt {
  std::string when;
  int signal;
};

// Runs `program`, feeding `input` on stdin, killed after `timeoutSeconds`; with `stderrTerminal`
// its stderr is a pty instead of a pipe.
Outcome RunProgram(const std::string &program, const std::vector<std::string> &args,
                   const std::string &input = "", int timeoutSeconds = 60,
                   bool stderrTerminal = false, const std::vector<SignalAt> &signals = {});

// veldc-sim in the background: its first line of stdout names its device; SIGTERM when the
// object goes.
class Background {
 public:
  Background(const std::string &program, const std::vector<std::string> &args);
  ~Background() { Stop(); }
  const std::string &FirstLine() const { return firstLine_; }
  // The exit status: -1 when it did not exit normally within 3 s of SIGTERM.
  int Stop();

 private:
  int pid_ = -1, out_ = -1;
  std::string firstLine_;
};

// A terminal on a pty played by the test: `answer` gives the reply to each command line ("" for
// none); Heard() is every byte that came.
class PtyPeer {
 public:
  explicit PtyPeer(std::function<std::string(const std::string &)> answer = {});
  ~PtyPeer();
  const std::string &Path() const { return path_; }
  std::string Heard() const;

 private:
  std::function<std::string(const std::string &)> answer_;
  int master_ = -1, slave_ = -1;
  std::string path_, heard_;
  mutable std::mutex mutex_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::vector<std::string> Lines(const std::string &text);
// Each line of --json output parsed; a line that is not JSON fails the test.
std::vector<nlohmann::json> JsonLines(const std::string &out);
// Empty when every line of --json output conforms to tools/veldc/veldc-output.schema.json.
std::string SchemaErrors(const std::string &out);

// A fresh directory under /tmp, removed with its files when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &Path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }
  void Write(const std::string &name, const std::string &content) const;
  std::string Read(const std::string &name) const;

 private:
  std::string path_;
};

}  // namespace veldc::cli::test
