// veldc against the stand-alone simulator on a pty, over every kind of serial link, a modem,
// the Pelo adapter over UDP loopback and the Kov74 driver stand-in, in real time: files and a
// program go both ways byte for byte, a silent adapter times out, and the simulator stops
// cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "process.h"

#ifdef VELDC_SIM_PATH

namespace veldc::cli::test {
namespace {

using nlohmann::json;

struct Session {
  Outcome outcome;
  std::vector<json> results;
};

// veldc with --json, the results parsed.
Session Veldc(const std::vector<std::string> &args, const std::string &batch) {
  std::vector<std::string> all = {"--json"};
  all.insert(all.end(), args.begin(), args.end());
  all.insert(all.end(), {"--batch", "-"});
  Session run{RunProgram(kVeldc, all, batch), {}};
  run.results = JsonLines(run.outcome.out);
  EXPECT_EQ(SchemaErrors(run.outcome.out), "");
  return run;
}

// The simulator saves a closed load within 50 ms of the close.
std::string Saved(const TempDir &dir, const std::string &name) {
  const std::string path = dir.File("out/" + name);
  for (int i = 0; i < 50 && access(path.c_str(), F_OK) != 0; ++i) usleep(20000);
  usleep(50000);
  return dir.Read("out/" + name);
}

// A PC file of `count` records in a fresh directory, with "out" for what the simulator saves.
std::string Numbered(const TempDir &dir, int count) {
  std::string content;
  for (int i = 1; i <= count; ++i) content += "REC" + std::to_string(i) + ";42;OK\r\n";
  dir.Write("up.txt", content);
  std::filesystem::create_directory(dir.File("out"));
  return content;
}

TEST(VeldcOnSimulatorTest, EverySerialLinkKindReachesItsTerminals) {
  struct Case {
    std::vector<std::string> simArgs;
    std::string link;  // the device path is appended
    std::vector<std::string> options;
    std::string batch;
    std::vector<std::string> models;  // of each identify, in order
  } cases[] = {
      {{"--direct", "-t", "0:Qyr"}, "direct:", {}, "identify\n", {"Qyr"}},
      {{"--network", "-t", "1", "-t", "2:Sorvik"},
       "network:",
       {"-a", "2"},
       "identify\nselect 1\nidentify\n",
       {"Sorvik", "Veld"}},
      {{"--logon", "-t", "0", "-t", "5:Dulm"}, "logon:", {"-a", "5"}, "identify\n", {"Dulm"}},
      {{"--direct", "--echo", "--leading-lf"}, "direct:", {}, "identify\n", {"Veld"}},
  };
  for (const Case &c : cases) {
    Background sim(VELDC_SIM_PATH, c.simArgs);
    ASSERT_FALSE(sim.FirstLine().empty()) << c.link;
    std::vector<std::string> args = {"--link", c.link + sim.FirstLine()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Session run = Veldc(args, c.batch + "time 235959\ntime\n");
    ASSERT_EQ(run.outcome.status, 0) << c.link << "\n" << run.outcome.err;
    // A device was named, so the built-in simulator stays out of it.
    EXPECT_EQ(run.outcome.err.find("built-in"), std::string::npos);
    std::vector<std::string> models;
    for (const json &r : run.results) {
      if (r["command"] == "identify") models.push_back(r["model"]);
    }
    EXPECT_EQ(models, c.models) << c.link;
    ASSERT_GE(run.results.size(), 2u);
    EXPECT_EQ(run.results.back()["time"].get<std::string>().substr(0, 4), "2359") << c.link;
  }
}

// Addressed network lines have no pause after each line, which keeps the transfers short.
TEST(VeldcOnSimulatorTest, LockedNetworkTerminalTakesAFileAndAProgramBothWays) {
  TempDir dir;
  const std::string content = Numbered(dir, 2000);
  Background sim(VELDC_SIM_PATH,
                 {"--network", "-t", "5:Sorvik:P:4711", "-t", "9", "--locked", "--save",
                  dir.File("out"), "--reply-delay", "0", "--line-gap", "0"});
  ASSERT_FALSE(sim.FirstLine().empty());
  const std::string up = dir.File("up.txt");
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
  ASSERT_FALSE(sim.FirstLine().empty());
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

TEST(VeldcOnSimulatorTest, DialAndHangUpAModem) {
  Background sim(VELDC_SIM_PATH, {"--modem"});
  ASSERT_FALSE(sim.FirstLine().empty());
  std::string link = "direct:" + sim.FirstLine();
  Session run = Veldc({"--link", link}, "dial 5551234 --init ATZ --wait 30\nidentify\nhangup\n");
  ASSERT_EQ(run.outcome.status, 0) << run.outcome.err;
  ASSERT_EQ(run.results.size(), 3u);
  EXPECT_EQ(run.results[0]["connected"], true);
  EXPECT_EQ(run.results[1]["model"], "Veld");
  EXPECT_EQ(run.results[2]["hung_up"], true);

  // The --dial option dials before the first command and hangs up at the end.
  Session dialled = Veldc({"--trace", "--link", link, "--dial", "5551234"}, "identify\n");
  EXPECT_EQ(dialled.outcome.status, 0) << dialled.outcome.err;
  size_t last = 0;  // the first of each, in this order
  for (const char *frame : {"port -> ATD5551234\\r", "port -> %XI\\r", "port -> ATH0\\r"}) {
    const size_t at = dialled.outcome.err.find(frame);
    ASSERT_NE(at, std::string::npos) << frame << "\n" << dialled.outcome.err;
    EXPECT_GE(at, last) << frame << "\n" << dialled.outcome.err;
    last = at;
  }
}

// A busy line reads as the modem said it, from the dial command and from --dial.
TEST(VeldcOnSimulatorTest, BusyModemIsNamed) {
  Background sim(VELDC_SIM_PATH, {"--modem", "--dial-result", "busy"});
  const std::string link = "direct:" + sim.FirstLine();
  for (const auto &args : {std::vector<std::string>{"--link", link, "dial", "555", "--wait", "5"},
                           std::vector<std::string>{"--link", link, "--dial", "555", "time"}}) {
    std::vector<std::string> all = {"--json"};
    all.insert(all.end(), args.begin(), args.end());
    const Outcome outcome = RunProgram(kVeldc, all);
    EXPECT_EQ(outcome.status, 83) << outcome.err;
    EXPECT_NE(outcome.err.find(": modem: BUSY"), std::string::npos) << outcome.err;
    const std::vector<json> r = JsonLines(outcome.out);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]["error"]["retry"], true);
  }
}

// A UDP port of this test process's own, so parallel runs do not meet.
std::string PeloPort() { return std::to_string(20000 + getpid() % 20000); }

// The adapter answers at once: the transfers' pace is the library's own.
TEST(VeldcOnSimulatorTest, PeloAdapterOverUdpLoopback) {
  TempDir dir;
  const std::string content = Numbered(dir, 1000), port = PeloPort();
  Background sim(VELDC_SIM_PATH, {"--pelo", "--pelo-port", port, "-t", "1", "-t", "2:Sorvik",
                                  "--save", dir.File("out"), "--pelo-delay", "0"});
  ASSERT_EQ(sim.FirstLine(), "127.0.0.2:" + port);
  Session run =
      Veldc({"--trace", "--link", "pelo:127.0.0.2:" + port},
            "adapter X\nlocal-ip\nidentify\nselect 2\nidentify\ntime 070000\ntime\n"
            "list\nadapter-reset\nselect 1\ndownload " +
                dir.File("up.txt") + " BATCH\nupload BATCH " + dir.File("down.txt") + "\n");
  ASSERT_EQ(run.outcome.status, 0) << run.outcome.err;
  ASSERT_EQ(run.results.size(), 12u);
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
  EXPECT_NE(run.outcome.err.find("udp -> COMMAND #0 X"), std::string::npos) << run.outcome.err;
  EXPECT_TRUE(std::regex_search(run.outcome.err, std::regex(R"(udp -> DATA #\d+ \\x02TIME)")))
      << run.outcome.err;
}

TEST(VeldcOnSimulatorTest, SilentPeloAdapterTimesOut) {
  const std::string port = PeloPort();
  Background sim(VELDC_SIM_PATH, {"--pelo", "--pelo-port", port, "--pelo-silent"});
  ASSERT_EQ(sim.FirstLine(), "127.0.0.2:" + port);
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome =
      RunProgram(kVeldc, {"--link", "pelo:127.0.0.2:" + port, "--pelo-timeout", "1", "identify"});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(outcome.status, 79);
  EXPECT_NE(outcome.err.find("veldc: error 79: WinSocket timeout expired"), std::string::npos)
      << outcome.err;
  EXPECT_GE(took, std::chrono::seconds(1));
  EXPECT_LT(took, std::chrono::seconds(3));
}

// One run over several terminals: each gets the batch in turn, --keep-going goes past the one
// that does not answer and past a refused command, and the summary names both.
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
  const json &summary = run.results[6];
  EXPECT_EQ(summary["command"], "summary");
  EXPECT_EQ(summary["total"], 6);
  EXPECT_EQ(summary["failed"], 4);
  EXPECT_NE(run.outcome.err.find("4 of 6 commands failed:\n  terminal 1: view: error 62"),
            std::string::npos)
      << run.outcome.err;

  // Without --keep-going the run ends at the first failure.
  Session stop = Veldc({"--link", link, "-a", "1,3", "-t", "1"}, "view NOFILE\nidentify\n");
  EXPECT_EQ(stop.outcome.status, 62);
  EXPECT_EQ(stop.results.size(), 1u);
}

// A Pelo says "nothing yet" with its own time-out (79), as a serial line does with 40: listening
// and collecting go on past it until their own time is up.
TEST(VeldcOnSimulatorTest, ListeningOnAPeloGoesOnPastItsTimeOuts) {
  const std::string port = PeloPort();
  Background sim(VELDC_SIM_PATH, {"--pelo", "--pelo-port", port, "-t", "1", "--pelo-delay", "0"});
  ASSERT_EQ(sim.FirstLine(), "127.0.0.2:" + port);
  const auto start = std::chrono::steady_clock::now();
  Session run = Veldc({"--link", "pelo:127.0.0.2:" + port, "--pelo-timeout", "1"},
                      "listen --seconds 3\ncollect --wait 2\n");
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(run.results.size(), 2u) << run.outcome.err;
  EXPECT_EQ(run.results[0]["ok"], true) << run.outcome.err;
  EXPECT_EQ(run.results[0]["messages"], json::array());
  EXPECT_EQ(run.results[1]["error"]["code"], 79);  // nothing was posted: no reply in the end
  EXPECT_GE(run.results[1]["duration"].get<double>(), 2.0);
  EXPECT_GE(took, std::chrono::seconds(5));
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
            std::string::npos)
      << outcome.err;
}
#endif

}  // namespace
}  // namespace veldc::cli::test

#endif
