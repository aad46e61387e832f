// veldc interrupted mid-operation on the stand-alone simulator over a pty: each signal ends
// the download, the upload and the dialled call the way their own failures end them, so the
// terminal and the PC file are left clean and the next session finds the terminal ready.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "process.h"

#ifdef VELDC_SIM_PATH

namespace veldc::cli::test {
namespace {

using nlohmann::json;

std::string Records(int count) {
  std::string content;
  for (int i = 1; i <= count; ++i) content += "REC" + std::to_string(i) + ";42;OK\r\n";
  return content;
}

// The terminal's files as the next session lists them; that session must succeed.
std::vector<std::string> Listed(const std::string &link) {
  const Outcome next = RunProgram(kVeldc, {"--json", "--link", link, "list"});
  EXPECT_EQ(next.status, 0) << next.err;
  std::vector<std::string> names;
  for (const json &line : JsonLines(next.out)) {
    for (const json &file : line.value("files", json::array())) names.push_back(file["name"]);
  }
  return names;
}

bool Holds(const std::vector<std::string> &names, const std::string &name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

const struct {
  int number;
  const char *name;
} kSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

TEST(VeldcInterruptTest, DownloadEndsTheLoadAndDeletesTheTerminalFile) {
  TempDir dir;
  const std::string content = Records(3000);
  dir.Write("big.txt", content);
  for (const auto &s : kSignals) {
    SCOPED_TRACE(s.name);
    Background sim(VELDC_SIM_PATH, {"--direct"});
    const std::string link = "direct:" + sim.FirstLine();
    const Outcome cut =
        RunProgram(kVeldc, {"--trace", "--link", link, "download", dir.File("big.txt"), "BIG"}, "",
                   60, false, {{"port -> REC30;", s.number}});
    EXPECT_EQ(cut.status, 128 + s.number) << cut.err;
    EXPECT_NE(cut.err.find("veldc: error 61: Operation cancelled"), std::string::npos);
    EXPECT_NE(cut.err.find(std::string("veldc: interrupted (") + s.name + ")"), std::string::npos);
    const size_t eot = cut.err.find("port -> \\x04\\r");
    EXPECT_NE(eot, std::string::npos) << cut.err;
    EXPECT_NE(cut.err.find("port -> DEL BIG\\r", eot), std::string::npos);
    EXPECT_EQ(cut.err.find("port -> REC2000;"), std::string::npos);  // cut short indeed
    EXPECT_FALSE(Holds(Listed(link), "BIG"));
    EXPECT_EQ(dir.Read("big.txt"), content);
  }
}

TEST(VeldcInterruptTest, UploadStopsTheTransferAndRemovesThePartialPcFile) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("files"));
  std::string lines;
  for (int i = 1; i <= 3000; ++i) lines += "REC" + std::to_string(i) + ";42;OK\n";
  dir.Write("files/BIG", lines);
  for (const auto &s : kSignals) {
    SCOPED_TRACE(s.name);
    Background sim(VELDC_SIM_PATH, {"--direct", "--files", dir.File("files")});
    const std::string link = "direct:" + sim.FirstLine();
    const Outcome cut =
        RunProgram(kVeldc, {"--trace", "--link", link, "upload", "BIG", dir.File("out.txt")}, "",
                   60, false, {{"port <- REC30;", s.number}});
    EXPECT_EQ(cut.status, 128 + s.number) << cut.err;
    EXPECT_NE(cut.err.find(std::string("veldc: interrupted (") + s.name + ")"), std::string::npos);
    EXPECT_NE(cut.err.find("port -> \\x04\\r"), std::string::npos) << cut.err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("out.txt")));
    EXPECT_TRUE(Holds(Listed(link), "BIG"));  // an upload never deletes on the terminal
  }
}

TEST(VeldcInterruptTest, DialledLineIsHungUpAndASecondCtrlCExitsAtOnce) {
  Background modem(VELDC_SIM_PATH, {"--modem", "--dial-result", "silent"});
  const std::string link = "direct:" + modem.FirstLine();
  const auto start = std::chrono::steady_clock::now();
  const Outcome cut = RunProgram(
      kVeldc, {"--trace", "--link", link, "--dial", "555", "--dial-timeout", "60", "identify"}, "",
      60, false, {{"port -> ATD555\\r", SIGINT}});
  EXPECT_EQ(cut.status, 130) << cut.err;
  const size_t dial = cut.err.find("port -> ATD555\\r");
  ASSERT_NE(dial, std::string::npos) << cut.err;
  EXPECT_NE(cut.err.find("port -> ATH0\\r", dial), std::string::npos) << cut.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));  // not the 60 s

  TempDir dir;
  dir.Write("big.txt", Records(3000));
  Background sim(VELDC_SIM_PATH, {"--direct"});
  const Outcome twice = RunProgram(
      kVeldc, {"--trace", "--link", "direct:" + sim.FirstLine(), "download", dir.File("big.txt")},
      "", 60, false, {{"port -> REC30;", SIGINT}, {"port -> \\x04\\r", SIGINT}});
  EXPECT_EQ(twice.status, 130);
  // The second came while the load was being ended: no clean-up was waited for.
  EXPECT_EQ(twice.err.find("veldc: interrupted"), std::string::npos);
}

// Listening is usually ended by Ctrl-C: what was heard is still reported.
TEST(VeldcInterruptTest, ListeningEndsWithItsMessages) {
  // Once the terminal is selected (its identification is the selection's last reply).
  const Outcome cut = RunProgram(kVeldc, {"--json", "--trace", "listen", "--seconds", "60"}, "", 60,
                                 false, {{"port <- Veld V2.10 RAM F", SIGINT}});
  EXPECT_EQ(cut.status, 130) << cut.err;
  const std::vector<json> results = JsonLines(cut.out);
  ASSERT_EQ(results.size(), 1u) << cut.out;
  EXPECT_EQ(results[0]["ok"], true);
  EXPECT_EQ(results[0]["messages"], json::array());
  EXPECT_LT(results[0]["duration"].get<double>(), 30);
}

}  // namespace
}  // namespace veldc::cli::test

#endif
