// veldc against the stand-alone veldc-sim in real time: every kind of serial link on a pty, a
// modem, the Pelo adapter over UDP loopback and the Kov74 stand-in; interruptions; the simulator
// against a hostile host and a hostile load name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>

#include "files.h"
#include "process.h"

namespace veldc::cli::test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

struct Session {
  Outcome outcome;
  std::vector<json> results;
};

// veldc --json with `args` running `batch`; its output must conform to the schema.
Session Veldc(std::vector<std::string> args, const std::string &batch) {
  args.insert(args.begin(), "--json");
  args.insert(args.end(), {"--batch", "-"});
  Session run{RunProgram(kVeldc, args, batch), {}};
  run.results = JsonLines(run.outcome.out);
  EXPECT_EQ(SchemaErrors(run.outcome.out), "");
  return run;
}

// `count` numbered records, also written to up.txt, with "out" for what the simulator saves.
std::string Numbered(const TempDir &dir, int count, const char *end = "\r\n") {
  std::string content;
  for (int i = 1; i <= count; ++i) content += "REC" + std::to_string(i) + ";42;OK" + end;
  dir.Write("up.txt", content);
  std::filesystem::create_directory(dir.File("out"));
  return content;
}

// The simulator saves a closed load within 50 ms of the close.
std::string Saved(const TempDir &dir, const std::string &name) {
  const std::string path = dir.File("out/" + name);
  for (int i = 0; i < 50 && access(path.c_str(), F_OK) != 0; ++i) usleep(20000);
  usleep(50000);
  return dir.Read("out/" + name);
}

// A UDP port of this test process's own, so parallel runs do not meet.
std::string PeloPort() { return std::to_string(20000 + getpid() % 20000); }

TEST(VeldcOnSimulatorTest, EverySerialLinkKindReachesItsTerminals) {
  const struct {
    std::vector<std::string> simArgs, options;
    std::string link, batch;
    std::vector<std::string> models;  // of each identify, in order
  } cases[] = {
      {{"--direct", "-t", "0:Qyr"}, {}, "direct:", "identify\n", {"Qyr"}},
      {{"--network", "-t", "1", "-t", "2:Sorvik"},
       {"-a", "2"},
       "network:",
       "identify\nselect 1\nidentify\n",
       {"Sorvik", "Veld"}},
      {{"--logon", "-t", "0", "-t", "5:Dulm"}, {"-a", "5"}, "logon:", "identify\n", {"Dulm"}},
      {{"--direct", "--echo", "--leading-lf"}, {}, "direct:", "identify\n", {"Veld"}},
  };
  for (const auto &c : cases) {
    Background sim(VELDC_SIM_PATH, c.simArgs);
    std::vector<std::string> args = {"--link", c.link + sim.FirstLine()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Session run = Veldc(args, c.batch + "time 235959\ntime\n");
    ASSERT_EQ(run.outcome.status, 0) << c.link << "\n" << run.outcome.err;
    EXPECT_EQ(run.outcome.err.find("built-in"), std::string::npos);
    std::vector<std::string> models;
    for (const json &r : run.results) {
      if (r["command"] == "identify") models.push_back(r["model"]);
    }
    EXPECT_EQ(models, c.models) << c.link;
    EXPECT_EQ(run.results.back()["time"].get<std::string>().substr(0, 4), "2359") << c.link;
  }
}

// Addressed network lines have no pause after each line, which keeps the transfers short.
TEST(VeldcOnSimulatorTest, LockedNetworkTerminalTakesAFileAndAProgramBothWays) {
  TempDir dir;
  const std::string content = Numbered(dir, 2000), up = dir.File("up.txt");
  Background sim(VELDC_SIM_PATH,
                 {"--network", "-t", "5:Sorvik:P:4711", "-t", "9", "--locked", "--save",
                  dir.File("out"), "--reply-delay", "0", "--line-gap", "0"});
  Session run = Veldc({"--link", "network:" + sim.FirstLine(), "-a", "5", "-p", "4711"},
                      "param 89\ndownload " + up + " round\nupload ROUND " + dir.File("down.txt") +
                          "\ndownload --program " + up + "\n");
  ASSERT_EQ(run.outcome.status, 0) << run.outcome.err;
  ASSERT_EQ(run.results.size(), 4u);
  EXPECT_EQ(run.results[0]["value"], "4711");
  for (int i : {1, 2, 3}) EXPECT_EQ(run.results[i]["records"], 2000) << i;
  EXPECT_EQ(dir.Read("down.txt"), content);
  EXPECT_EQ(Saved(dir, "ROUND"), content);
  EXPECT_EQ(Saved(dir, "PROGRAM"), content);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(VeldcOnSimulatorTest, ListenPrintsTheTerminalsOwnMessages) {
  // One message a second from the simulator's start; a host that starts late (a loaded machine)
  // has lost the first ones in the purge of its open, and hears the next two in order.
  std::vector<std::string> args;
  for (int i = 1; i <= 6; ++i)
    args.insert(args.end(), {"--message", "BADGE 000123" + std::to_string(i)});
  Background sim(VELDC_SIM_PATH, args);
  // A quick selection, so that no message is read off while the terminal is quietened.
  Outcome outcome = RunProgram(kVeldc, {"--link", "direct:" + sim.FirstLine(), "--batch", "-"},
                               "select 0 --quick\nlisten --count 2 --seconds 8\n");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::vector<std::string> lines = Lines(outcome.out);
  ASSERT_EQ(lines.size(), 3u) << outcome.out;
  EXPECT_EQ(lines[0], "terminal 0 selected");
  ASSERT_EQ(lines[1].rfind("BADGE 000123", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2],
            lines[1].substr(0, lines[1].size() - 1) + std::to_string(lines[1].back() - '0' + 1));
}

// The dial command and --dial (which hangs up at the end); a busy line reads as the modem said.
TEST(VeldcOnSimulatorTest, DialHangUpAndABusyModem) {
  Background sim(VELDC_SIM_PATH, {"--modem"});
  const std::string link = "direct:" + sim.FirstLine();
  Session run = Veldc({"--link", link}, "dial 5551234 --init ATZ --wait 30\nidentify\nhangup\n");
  ASSERT_EQ(run.outcome.status, 0) << run.outcome.err;
  ASSERT_EQ(run.results.size(), 3u);
  EXPECT_EQ(run.results[0]["connected"], true);
  EXPECT_EQ(run.results[1]["model"], "Veld");
  EXPECT_EQ(run.results[2]["hung_up"], true);
  Session dialled = Veldc({"--trace", "--link", link, "--dial", "5551234"}, "identify\n");
  EXPECT_EQ(dialled.outcome.status, 0) << dialled.outcome.err;
  EXPECT_TRUE(std::regex_search(
      dialled.outcome.err,
      std::regex(R"(port -> ATD5551234\\r[^]*?port -> %XI\\r[^]*port -> ATH0\\r)")))
      << dialled.outcome.err;

  Background busy(VELDC_SIM_PATH, {"--modem", "--dial-result", "busy"});
  const std::string busyLink = "direct:" + busy.FirstLine();
  for (const auto &args :
       {std::vector<std::string>{"--json", "--link", busyLink, "dial", "555", "--wait", "5"},
        std::vector<std::string>{"--json", "--link", busyLink, "--dial", "555", "time"}}) {
    const Outcome outcome = RunProgram(kVeldc, args);
    EXPECT_EQ(outcome.status, 83) << outcome.err;
    EXPECT_NE(outcome.err.find(": modem: BUSY"), std::string::npos) << outcome.err;
    const std::vector<json> r = JsonLines(outcome.out);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["error"]["retry"], true);
  }
}

// The adapter answers at once: the transfers' pace is the library's own. A Pelo says "nothing
// yet" with its own time-out (79), as a serial line does with 40: listening and collecting go on
// past it until their own time is up.
TEST(VeldcOnSimulatorTest, PeloAdapterOverUdpLoopback) {
  TempDir dir;
  const std::string content = Numbered(dir, 1000), port = PeloPort();
  Background sim(VELDC_SIM_PATH, {"--pelo", "--pelo-port", port, "-t", "1", "-t", "2:Sorvik",
                                  "--save", dir.File("out"), "--pelo-delay", "0"});
  ASSERT_EQ(sim.FirstLine(), "127.0.0.2:" + port);
  Session run = Veldc({"--trace", "--link", "pelo:127.0.0.2:" + port, "--pelo-timeout", "1"},
                      "adapter X\nlocal-ip\nidentify\nselect 2\nidentify\ntime 070000\ntime\nlist\n"
                      "adapter-reset\nselect 1\ndownload " +
                          dir.File("up.txt") + " BATCH\nupload BATCH " + dir.File("down.txt") +
                          "\nlisten --seconds 3\ncollect --wait 2\n");
  ASSERT_EQ(run.outcome.status, 79) << run.outcome.err;
  ASSERT_EQ(run.results.size(), 14u);
  for (size_t i = 0; i < 13; ++i) EXPECT_EQ(run.results[i]["ok"], true) << i;
  EXPECT_NE(run.results[0]["reply"].get<std::string>().find('V'), std::string::npos);
  EXPECT_TRUE(std::regex_match(run.results[1]["ip"].get<std::string>(),
                               std::regex(R"(\d+\.\d+\.\d+\.\d+)")));
  EXPECT_EQ(run.results[2]["address"], 1);  // a network form: the first terminal is 1
  EXPECT_EQ(run.results[2]["model"], "Veld");
  EXPECT_EQ(run.results[4]["model"], "Sorvik");
  EXPECT_EQ(run.results[6]["time"].get<std::string>().substr(0, 4), "0700");
  EXPECT_EQ(run.results[8]["reset"], true);
  EXPECT_EQ(run.results[10]["records"], 1000);
  EXPECT_EQ(run.results[11]["records"], 1000);
  EXPECT_EQ(dir.Read("down.txt"), content);
  EXPECT_EQ(Saved(dir, "BATCH"), content);
  EXPECT_EQ(run.results[12]["messages"], json::array());
  EXPECT_GE(run.results[12]["duration"].get<double>(), 3.0);
  EXPECT_EQ(run.results[13]["error"]["code"], 79);  // nothing was posted: no reply in the end
  EXPECT_GE(run.results[13]["duration"].get<double>(), 2.0);
  EXPECT_LT(run.results[13]["duration"].get<double>(), 4.0);
  EXPECT_NE(run.outcome.err.find("veldc: error 79: stdin:14: WinSocket timeout expired"),
            std::string::npos);
  EXPECT_NE(run.outcome.err.find("udp -> COMMAND #0 X"), std::string::npos) << run.outcome.err;
  EXPECT_TRUE(std::regex_search(run.outcome.err, std::regex(R"(udp -> DATA #\d+ \\x02TIME)")));
}

// Each terminal gets the batch in turn; --keep-going goes past the one that does not answer and
// past a refused command, and the summary names both; without it the run ends at the first.
TEST(VeldcOnSimulatorTest, ManyTerminalsInOneRunWithKeepGoing) {
  Background sim(VELDC_SIM_PATH, {"--network", "-t", "1", "-t", "3:Sorvik"});
  const std::string link = "network:" + sim.FirstLine();
  Session run =
      Veldc({"--link", link, "-a", "1-3", "--keep-going", "-t", "1"}, "identify\nview NOFILE\n");
  EXPECT_EQ(run.outcome.status, 103) << run.outcome.err;
  ASSERT_EQ(run.results.size(), 7u) << run.outcome.out;
  const int addresses[] = {1, 1, 2, 2, 3, 3};
  const bool ok[] = {true, false, false, false, true, false};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(run.results[i]["address"], addresses[i]) << i;
    EXPECT_EQ(run.results[i]["ok"], ok[i]) << i;
  }
  EXPECT_EQ(run.results[4]["model"], "Sorvik");
  EXPECT_EQ(run.results[2]["error"]["detail"], "no terminal answers at address 2");
  EXPECT_EQ(run.results[1]["error"]["detail"], "no file NOFILE on the terminal");
  EXPECT_EQ(run.results[6]["command"], "summary");
  EXPECT_EQ(run.results[6]["total"], 6);
  EXPECT_EQ(run.results[6]["failed"], 4);
  EXPECT_NE(run.outcome.err.find("4 of 6 commands failed:\n  terminal 1: view: error 62"),
            std::string::npos)
      << run.outcome.err;
  Session stop = Veldc({"--link", link, "-a", "1,3", "-t", "1"}, "view NOFILE\nidentify\n");
  EXPECT_EQ(stop.outcome.status, 62);
  EXPECT_EQ(stop.results.size(), 1u);
}

#ifdef VELDC_KOV74_DIR
// The library loads the stand-in by the name it asks for; the stand-in takes its settings from
// the environment at every open.
TEST(VeldcOnSimulatorTest, Kov74DriverStandIn) {
  // The stand-in keeps its simulated network for the life of the process and is unloaded at
  // close, so a leak checker would count the network as lost; the other tests check veldc.
  const auto run = [](const char *sim, std::vector<std::string> args, const std::string &batch) {
    args.insert(args.begin(), {sim, "LD_LIBRARY_PATH=" VELDC_KOV74_DIR,
                               "ASAN_OPTIONS=detect_leaks=0", kVeldc, "--json", "-a", "2"});
    args.insert(args.end(), {"--batch", "-"});
    return RunProgram("/usr/bin/env", args, batch);
  };
  Outcome outcome = run("KOV74C_SIM=model=Qyr", {"--trace", "--link", "kov74:1:1", "-s", "19200"},
                        "identify\nparam 89\n");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  std::vector<json> results = JsonLines(outcome.out);
  ASSERT_EQ(results.size(), 2u) << outcome.out;
  EXPECT_EQ(results[0]["model"], "Qyr");
  EXPECT_EQ(results[0]["address"], 2);
  EXPECT_EQ(results[1]["value"], "80264");
  EXPECT_NE(outcome.err.find("kov74 -> @2 %XI"), std::string::npos) << outcome.err;
  // Replies that come from another terminal than the one selected.
  outcome = run("KOV74C_SIM=from=7", {"--link", "kov74:1:0"}, "select 2 --quick\nsend %XI\n");
  EXPECT_EQ(outcome.status, 41) << outcome.err;
  EXPECT_NE(outcome.err.find("veldc: error 41: stdin:2: Reply from wrong terminal"),
            std::string::npos);
}
#endif

// The terminal's files as the next session lists them; that session must succeed.
std::set<std::string> Listed(const std::string &link) {
  const Outcome next = RunProgram(kVeldc, {"--json", "--link", link, "list"});
  EXPECT_EQ(next.status, 0) << next.err;
  std::set<std::string> names;
  for (const json &line : JsonLines(next.out)) {
    for (const json &file : line.value("files", json::array())) names.insert(file["name"]);
  }
  return names;
}

// Each signal ends the download, the upload and the dialled call as their own failures end
// them: the terminal and the PC file are left clean and the next session finds the terminal.
TEST(VeldcInterruptTest, TransfersEndCleanly) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("files"));
  const std::string content = Numbered(dir, 3000);
  dir.Write("files/BIG", Numbered(dir, 3000, "\n"));
  dir.Write("up.txt", content);
  for (const auto &[number, name] :
       {std::pair<int, std::string>{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
    SCOPED_TRACE(name);
    Background sim(VELDC_SIM_PATH, {"--direct", "--files", dir.File("files")});
    const std::string link = "direct:" + sim.FirstLine();
    const Outcome down =
        RunProgram(kVeldc, {"--trace", "--link", link, "download", dir.File("up.txt"), "NEW"}, "",
                   60, false, {{"port -> REC30;", number}});
    EXPECT_EQ(down.status, 128 + number) << down.err;
    EXPECT_NE(down.err.find("veldc: error 61: Operation cancelled"), std::string::npos);
    EXPECT_NE(down.err.find("veldc: interrupted (" + name + ")"), std::string::npos);
    EXPECT_TRUE(
        std::regex_search(down.err, std::regex(R"(port -> \\x04\\r[^]*port -> DEL NEW\\r)")));
    EXPECT_EQ(down.err.find("port -> REC2000;"), std::string::npos);  // cut short indeed
    const Outcome up =
        RunProgram(kVeldc, {"--trace", "--link", link, "upload", "BIG", dir.File("out.txt")}, "",
                   60, false, {{"port <- REC30;", number}});
    EXPECT_EQ(up.status, 128 + number) << up.err;
    EXPECT_NE(up.err.find("veldc: interrupted (" + name + ")"), std::string::npos);
    EXPECT_NE(up.err.find("port -> \\x04\\r"), std::string::npos) << up.err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("out.txt")));
    const std::set<std::string> names = Listed(link);
    EXPECT_EQ(names.count("NEW"), 0u);
    EXPECT_EQ(names.count("BIG"), 1u);  // an upload never deletes on the terminal
    EXPECT_EQ(dir.Read("up.txt"), content);
  }
}

TEST(VeldcInterruptTest, DialledLineIsHungUpAndASecondCtrlCExitsAtOnce) {
  Background modem(VELDC_SIM_PATH, {"--modem", "--dial-result", "silent"});
  const auto start = Clock::now();
  const Outcome cut = RunProgram(kVeldc,
                                 {"--trace", "--link", "direct:" + modem.FirstLine(), "--dial",
                                  "555", "--dial-timeout", "60", "identify"},
                                 "", 60, false, {{"port -> ATD555\\r", SIGINT}});
  EXPECT_EQ(cut.status, 130) << cut.err;
  EXPECT_TRUE(std::regex_search(cut.err, std::regex(R"(port -> ATD555\\r[^]*port -> ATH0\\r)")));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));  // not the 60 s

  TempDir dir;
  Numbered(dir, 3000);
  Background sim(VELDC_SIM_PATH, {"--direct"});
  const Outcome twice = RunProgram(
      kVeldc, {"--trace", "--link", "direct:" + sim.FirstLine(), "download", dir.File("up.txt")},
      "", 60, false, {{"port -> REC30;", SIGINT}, {"port -> \\x04\\r", SIGINT}});
  EXPECT_EQ(twice.status, 130);
  // The second came while the load was being ended: no clean-up was waited for.
  EXPECT_EQ(twice.err.find("veldc: interrupted"), std::string::npos);
}

// Listening is usually ended by Ctrl-C: what was heard is still reported.
TEST(VeldcInterruptTest, ListeningEndsWithItsMessages) {
  const Outcome cut = RunProgram(kVeldc, {"--json", "--trace", "listen", "--seconds", "60"}, "", 60,
                                 false, {{"port <- Veld V2.10 RAM F", SIGINT}});
  EXPECT_EQ(cut.status, 130) << cut.err;
  const std::vector<json> results = JsonLines(cut.out);
  ASSERT_EQ(results.size(), 1u) << cut.out;
  EXPECT_EQ(results[0]["ok"], true);
  EXPECT_EQ(results[0]["messages"], json::array());
  EXPECT_LT(results[0]["duration"].get<double>(), 30);
}

// Reads until `want` shows up or `ms` pass without any byte.
std::string ReadUntil(int fd, const std::string &want, int ms) {
  std::string got;
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (got.find(want) == std::string::npos && poll(&p, 1, ms) == 1) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// A megabyte of anything on its line: the simulator keeps serving, its replies never fill the
// line, and it stops cleanly (instrumented under the asan preset).
TEST(SimulatorAgainstAHostileHost, AnythingOnTheLine) {
  Background sim(VELDC_SIM_PATH, {});
  const int fd = open(sim.FirstLine().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0) << sim.FirstLine();
  termios raw;
  ASSERT_EQ(tcgetattr(fd, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &raw), 0);
  std::mt19937 rng(14);
  const auto pick = [&rng](size_t lo, size_t hi) {
    return std::uniform_int_distribution<size_t>(lo, hi)(rng);
  };
  const char *const words[] = {"LOAD ../X\r", "TYPE DATA\r", "\x04\r", "CFG 07=", "\r", "%XI"};
  std::string junk;
  while (junk.size() < (1u << 20)) {
    const size_t word = pick(0, 9);
    word < 6 ? junk += words[word] : junk.append(pick(1, 5000), static_cast<char>(pick(0, 255)));
  }
  for (size_t at = 0; at < junk.size();) {
    const ssize_t n = write(fd, junk.data() + at, junk.size() - at);
    ASSERT_GT(n, 0);
    at += static_cast<size_t>(n);
    ReadUntil(fd, "\x01never", 0);
  }
  ReadUntil(fd, "\x01never", 500);
  ASSERT_EQ(write(fd, "\r%XI\r", 5), 5);
  EXPECT_NE(ReadUntil(fd, "Veld", 3000).find("Veld"), std::string::npos);
  close(fd);
  EXPECT_EQ(sim.Stop(), 0);
}

// veldc-sim --save writes a load only directly inside the save directory, whatever its name.
TEST(SimulatorAgainstAHostileHost, LoadsNeverLeaveTheSaveDirectory) {
  namespace fs = std::filesystem;
  TempDir base;
  const fs::path dir = fs::path(base.Path()) / "a" / "save";
  fs::create_directories(dir);
  base.Write("X1", "keep");
  sim::Terminal terminal;
  for (const char *name : {"../EVIL", "../../X1", "/ABS", "A/B", "..", ".", "GOOD", "..GOOD"}) {
    for (const std::string &command :
         {std::string("LOAD ") + name, std::string("R1"), std::string("\x04")}) {
      terminal.Handle(command, 0);
    }
  }
  size_t saved = 0;
  EXPECT_TRUE(simtool::SaveLoads(dir.string(), terminal, &saved));
  EXPECT_EQ(saved, 8u);
  std::set<std::string> files;
  for (const auto &entry : fs::recursive_directory_iterator(base.Path())) {
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), base.Path()).string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"X1", "a/save/GOOD", "a/save/..GOOD"}));
  EXPECT_EQ(base.Read("X1"), "keep");
}

}  // namespace
}  // namespace veldc::cli::test
