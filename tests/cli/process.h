// Runs a program as a user would and captures what it says.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace veldc::cli::test {

// The veldc of this build.
inline const std::string kVeldc = VELDC_TOOL_PATH;

struct Outcome {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
};

// A signal sent to the program once its stderr holds `when`.
struct SignalAt {
  std::string when;
  int signal;
};

// Runs `program` with `args`, feeding `input` on stdin; kills it after `timeoutSeconds`.
// With `stderrTerminal` its stderr is a pty instead of a pipe. `signals` go out in order.
Outcome RunProgram(const std::string &program, const std::vector<std::string> &args,
                   const std::string &input = "", int timeoutSeconds = 60,
                   bool stderrTerminal = false, const std::vector<SignalAt> &signals = {});

// A program left running in the background that names its device on the first line of its
// stdout (veldc-sim); ended with SIGTERM when the object goes.
class Background {
 public:
  Background(const std::string &program, const std::vector<std::string> &args);
  ~Background() { Stop(); }
  Background(const Background &) = delete;
  Background &operator=(const Background &) = delete;
  // The first line the program printed; empty when it printed none within a few seconds.
  const std::string &FirstLine() const { return firstLine_; }
  // SIGTERM, then the exit status: -1 when it did not exit normally within 3 s.
  int Stop();

 private:
  int pid_ = -1;
  int out_ = -1;
  std::string firstLine_;
};

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string &text);
// Each line of --json output, parsed; a line that is not JSON fails the test.
std::vector<nlohmann::json> JsonLines(const std::string &out);

// Checks --json output against the schema in the tree (tools/veldc/veldc-output.schema.json):
// empty when every object conforms, otherwise the validator's report.
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
