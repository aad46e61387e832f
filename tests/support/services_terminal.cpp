#include "support/services_terminal.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace veldc::test {

TempDir::TempDir() {
  // No mkdtemp on MinGW: fresh random names until one can be created.
  std::random_device random;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto candidate = base / ("veldc-svc-" + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      dir_ = candidate.string();
      return;
    }
  }
  std::abort();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void TempDir::Write(const std::string &name, const std::string &content) const {
  std::ofstream(Path(name), std::ios::binary) << content;
}

std::string TempDir::Read(const std::string &name) const {
  std::ifstream in(Path(name), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool TempDir::Exists(const std::string &name) const { return std::filesystem::exists(Path(name)); }

std::string Numbered(int count, const std::string &end) {
  std::string content;
  for (int i = 1; i <= count; ++i) content += "R" + std::to_string(i) + end;
  return content;
}

std::optional<std::string> LoadTerminal::Answer(const std::string &line) {
  if (line == "%XI") return ramCard;
  if (line.rfind("LOAD", 0) == 0 && records == 0) return refuseLoad ? "LOAD ??" : line;
  if (line == kEot) {
    if (silentEots > 0) {
      --silentEots;
      return std::nullopt;
    }
    return std::to_string(records + countOffset);
  }
  if (line.rfind("DEL ", 0) == 0 || line == "STOP DOWNLOADING") return line;
  ++records;
  if (records == silentAt) return std::nullopt;
  if (records == wrongEchoAt) return line + "?";
  return line;
}

void ServicesTest::SetUp() {
  SerialTest::SetUp();
  Open(DEV_SERIAL_DIRECT);
  ASSERT_EQ(ChgTerminal(0), 0) << ErrorState();
  vp.ClearWritten();
}

void ServicesTest::Answer(std::function<std::optional<std::string>(const std::string &)> answer) {
  peer.SetResponder([answer](const std::string &line) {
    const std::optional<std::string> text = answer(line);
    return text ? *text + "\r" : std::string();
  });
}

void ServicesTest::Answer(LoadTerminal *terminal) {
  Answer([terminal](const std::string &line) { return terminal->Answer(line); });
}

}  // namespace veldc::test
