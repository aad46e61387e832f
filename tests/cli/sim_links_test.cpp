// veldc against the stand-alone simulator on a pty, over every kind of serial link, a modem and
// the Kov74 driver stand-in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "process.h"

#ifdef VELDC_SIM_PATH

namespace veldc::cli::test {
namespace {

using nlohmann::json;

const std::string kVeldc = VELDC_TOOL_PATH;

struct Session {
  Outcome outcome;
  std::vector<json> results;
};

// veldc with --json, the results parsed.
Session Veldc(const std::vector<std::string> &args, const std::string &batch) {
  std::vector<std::string> all = {"--json"};
  all.insert(all.end(), args.begin(), args.end());
  all.insert(all.end(), {"--batch", "-"});
  Session run;
  run.outcome = RunProgram(kVeldc, all, batch);
  for (const std::string &line : Lines(run.outcome.out)) {
    run.results.push_back(json::parse(line, nullptr, false));
    EXPECT_FALSE(run.results.back().is_discarded()) << line;
  }
  return run;
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

TEST(VeldcOnSimulatorTest, ListenPrintsTheTerminalsOwnMessages) {
  Background sim(VELDC_SIM_PATH, {"--message", "BADGE 0001234", "--message", "BADGE 0001235"});
  ASSERT_FALSE(sim.FirstLine().empty());
  // A quick selection, so that no message is read off while the terminal is quietened.
  Outcome outcome = RunProgram(kVeldc, {"--link", "direct:" + sim.FirstLine(), "--batch", "-"},
                               "select 0 --quick\nlisten --count 2 --seconds 8\n");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  std::vector<std::string> expected = {"terminal 0 selected", "BADGE 0001234", "BADGE 0001235"};
  EXPECT_EQ(Lines(outcome.out), expected);
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
  const std::string &trace = dialled.outcome.err;
  size_t dial = trace.find("port -> ATD5551234\\r");
  size_t identify = trace.find("port -> %XI\\r");
  size_t hangup = trace.find("port -> ATH0\\r");
  ASSERT_NE(dial, std::string::npos) << trace;
  ASSERT_NE(identify, std::string::npos) << trace;
  ASSERT_NE(hangup, std::string::npos) << trace;
  EXPECT_LT(dial, identify);
  EXPECT_LT(identify, hangup);
}

// A UDP port of this test process's own, so parallel runs do not meet.
std::string PeloPort() { return std::to_string(20000 + getpid() % 20000); }

TEST(VeldcOnSimulatorTest, PeloAdapterOverUdpLoopback) {
  std::string port = PeloPort();
  Background sim(VELDC_SIM_PATH, {"--pelo", "--pelo-port", port, "-t", "1", "-t", "2:Sorvik"});
  ASSERT_FALSE(sim.FirstLine().empty());
  Session run = Veldc({"--trace", "--link", "pelo:127.0.0.2:" + port},
                      "adapter X\nlocal-ip\nidentify\nselect 2\nidentify\ntime 070000\ntime\n"
                      "list\nadapter-reset\n");
  ASSERT_EQ(run.outcome.status, 0) << run.outcome.err;
  ASSERT_EQ(run.results.size(), 9u);
  EXPECT_NE(run.results[0]["reply"].get<std::string>().find('V'), std::string::npos);
  EXPECT_TRUE(std::regex_match(run.results[1]["address"].get<std::string>(),
                               std::regex(R"(\d+\.\d+\.\d+\.\d+)")));
  EXPECT_EQ(run.results[2]["address"], 1);  // a network form: the first terminal is 1
  EXPECT_EQ(run.results[2]["model"], "Veld");
  EXPECT_EQ(run.results[4]["model"], "Sorvik");
  EXPECT_EQ(run.results[6]["time"].get<std::string>().substr(0, 4), "0700");
  EXPECT_EQ(run.results[8]["reset"], true);
  EXPECT_NE(run.outcome.err.find("udp -> COMMAND #0 X"), std::string::npos) << run.outcome.err;
  EXPECT_TRUE(std::regex_search(run.outcome.err, std::regex(R"(udp -> DATA #\d+ \\x02TIME)")))
      << run.outcome.err;
}

#ifdef VELDC_KOV74_DIR
TEST(VeldcOnSimulatorTest, Kov74DriverStandIn) {
  // The stand-in keeps its simulated network for the life of the process and is unloaded at
  // close, so a leak checker would count the network as lost; the other tests check veldc.
  Outcome outcome =
      RunProgram("/usr/bin/env", {"LD_LIBRARY_PATH=" VELDC_KOV74_DIR, "KOV74C_SIM=model=Qyr",
                                  "ASAN_OPTIONS=detect_leaks=0", kVeldc, "--json", "--trace",
                                  "--link", "kov74:1", "-a", "2", "identify"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  json result = json::parse(outcome.out);
  EXPECT_EQ(result["model"], "Qyr");
  EXPECT_EQ(result["address"], 2);
  EXPECT_NE(outcome.err.find("kov74 -> @2 %XI"), std::string::npos) << outcome.err;
}
#endif

}  // namespace
}  // namespace veldc::cli::test

#endif
