// Common ground of the terminal-service tests: a direct line with terminal 0 selected, PC
// files in a directory of the test's own, and the terminal side of loads and listings.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/outcome.h"

namespace veldc::test {

// The EOT command as the terminal hears it.
inline const std::string kEot = "\x04";
inline constexpr Micros kSecond = 1000000;
using Lines = std::vector<std::string>;

// "R1", "R2", ... each followed by `end`.
std::string Numbered(int count, const std::string &end = "\r\n");

// PC files of one test, removed with it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string Path(const std::string &name) const { return dir_ + "/" + name; }
  void Write(const std::string &name, const std::string &content) const;
  std::string Read(const std::string &name) const;
  bool Exists(const std::string &name) const;

 private:
  std::string dir_;
};

// The terminal's side of a file or program load: echoes the load command and each record,
// answers the EOT command with the number of records taken. Faults on request.
struct LoadTerminal {
  int records = 0;
  int wrongEchoAt = 0;                 // this record is answered with a different text
  int silentAt = 0;                    // this record is not answered at all
  int countOffset = 0;                 // added to the count the EOT reply carries
  int silentEots = 0;                  // this many EOT commands go unanswered
  std::string ramCard = "Veld 2.1 F";  // the "%XI" reply
  int refuseLoad = 0;
  std::optional<std::string> Answer(const std::string &line);
};

// The direct line with terminal 0 selected; every answer ends in CR.
class ServicesTest : public SerialTest {
 protected:
  void SetUp() override;
  // Lines the terminal heard (without their CR).
  const Lines &Heard() const { return peer.Lines(); }
  Lines HeardSince(size_t count) const { return Lines(Heard().begin() + count, Heard().end()); }
  // Answers each line with the given function's text and a CR (nullopt = silence).
  void Answer(std::function<std::optional<std::string>(const std::string &)> answer);
  void Answer(LoadTerminal *terminal);

  TempDir files;
};

}  // namespace veldc::test
