// veldc run as a user runs it: a process, its stdout, stderr and exit status.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "process.h"
#include "text_args.h"

namespace veldc::cli::test {
namespace {

using nlohmann::json;

Outcome Veldc(const std::vector<std::string> &args, const std::string &input = "") {
  return RunProgram(kVeldc, args, input);
}

// Bad usage (100), a PC file the tool cannot use (101) and the library's own failures: the code
// is the exit status and leads the message, --json reports it as well, and a batch stops there.
TEST(VeldcErrorTest, EveryFailureIsItsExitStatusAndMessage) {
  TempDir dir;
  dir.Write("p.txt", "01=A\nnonsense\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message, input = "";
  } cases[] = {
      {{"bogus"}, 100, "unknown command or extra argument: bogus"},
      {{"identify", "extra"}, 100, "unknown command or extra argument: extra"},
      {{"time", "1", "2", "3"}, 100, "unknown command or extra argument: 2 3"},
      {{"param"}, 100, "number is required"},
      {{"param", "abc"}, 100, "Could not convert: number = abc"},
      {{"view", "X", "--size", "-5"}, 100, "Could not convert"},
      {{"--link", "serial:1", "time"}, 100, "unknown link \"serial:1\""},
      {{"--link", "kov74:9", "time"}, 100, "kov74 needs a COM port number 1 to 4"},
      {{"--format", "9N1", "time"}, 100, "character format is 0 to 4"},
      {{"--model", "Zzz", "identify"}, 100, "--model"},
      {{"send", "\\x4"}, 100, "\\x needs two hex digits"},
      {{"download", "--program", "a.prg", "NAME"}, 100, "a program has no terminal file"},
      {{}, 100, "no command given"},
      {{"--batch", "-", "time"}, 100, "give either a command or --batch"},
      {{"--batch", "-"}, 100, "stdin:1: unknown command or extra argument: frob", "frob 1\n"},
      {{"--batch", "-"}, 100, "stdin:1: unclosed ' quote", "send 'open\n"},
      {{"--batch", "/nonexistent/session.txt"}, 101, "cannot read /nonexistent/session.txt"},
      {{"params", "set", "/nonexistent/p.txt"}, 101, "cannot read /nonexistent/p.txt"},
      {{"download", "/nonexistent/f.txt"}, 101, "cannot read /nonexistent/f.txt"},
      {{"--trace-file", "/nonexistent/t.log", "time"}, 101, "cannot write /nonexistent"},
      {{"params", "set", dir.File("p.txt")}, 101, dir.File("p.txt") + ": line 2: expected"},
      {{"--json", "--link", "foo", "time"},
       100,
       "unknown link \"foo\" (sim, direct:DEV, network:DEV, logon:DEV, kov74:N[:MODE], "
       "pelo:IP:PORT)"},
      {{"--batch", "-"}, 62, "stdin:1: Send command ignored", "view NOFILE\ntime\n"},  // no time
      {{"--json", "view", "NOFILE"}, 62, "Send command ignored"},
      {{"--json", "adapter", "X"}, 2, "Device not initialized"},
  };
  for (const Case &c : cases) {
    Outcome outcome = Veldc(c.args, c.input);
    SCOPED_TRACE((c.args.empty() ? "(no arguments)" : c.args[0]) + "\n" + outcome.err);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_NE(outcome.err.find("veldc: error " + std::to_string(c.status) + ": " + c.message),
              std::string::npos);
    // Bad usage is refused before any device is opened.
    EXPECT_EQ(outcome.err.find("no --link given") == std::string::npos, c.status >= 100);
    if (c.args.empty()) continue;  // the help goes to stdout
    if (c.args[0] != "--json") {
      EXPECT_EQ(outcome.out, "");
      continue;
    }
    EXPECT_EQ(SchemaErrors(outcome.out), "");
    const std::vector<json> result = JsonLines(outcome.out);
    ASSERT_EQ(result.size(), 1u) << outcome.out;
    EXPECT_EQ(result[0]["ok"], false);
    EXPECT_EQ(result[0]["error"]["code"], c.status);
    EXPECT_EQ(result[0]["error"]["message"], c.message);
  }
}

// Both tools name the one project version; the library's own short text comes along.
TEST(VeldcUsageTest, VersionsFromOneSource) {
  const Outcome veldc = Veldc({"--version"});
  EXPECT_EQ(veldc.status, 0);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(veldc.out, m, std::regex(R"(^veldc (\d+\.\d+\.\d+\.\d+)\n)")))
      << veldc.out;
  EXPECT_NE(veldc.out.find("libveldc 1.0"), std::string::npos) << veldc.out;
#ifdef VELDC_SIM_PATH
  const Outcome sim = RunProgram(VELDC_SIM_PATH, {"--version"});
  EXPECT_EQ(sim.status, 0);
  EXPECT_EQ(sim.out, "veldc-sim " + m[1].str() + "\n");
#endif
}

TEST(VeldcUsageTest, HelpOnTheWholeAndPerCommandHasExamples) {
  Outcome whole = Veldc({"--help"});
  EXPECT_EQ(whole.status, 0);
  for (const char *text : {"Examples:", "pelo:IP:PORT", "--batch", "whether a retry may help",
                           "129 130 143  interrupted"}) {
    EXPECT_NE(whole.out.find(text), std::string::npos) << text;
  }
  Outcome one = Veldc({"params", "get", "--help"});
  EXPECT_EQ(one.status, 0);
  EXPECT_NE(one.out.find("--select 0-9 --out params.txt"), std::string::npos) << one.out;
}

// One session on the built-in simulator through every service it offers: each command of the
// batch with fields its JSON result must hold ('@' is the test's directory).
TEST(VeldcSessionTest, EveryCommandOnTheBuiltInSimulator) {
  TempDir dir;
  const std::string data = "line one\r\nline two\r\n\r\nline four\r\n";
  dir.Write("demo.txt", data);
  dir.Write("prog.prg", "10 PRINT\r\n20 END\r\n");
  dir.Write("unix.txt", "A\n\nB\n");
  dir.Write("in.txt", "08=EIGHT\n09=\n10=A VALUE LONGER THAN 16\n");
  const std::pair<const char *, const char *> steps[] = {
      {"identify", R"({"command":"identify","model":"Veld","address":0})"},
      {"select 0", ""},
      {"select 0 --quick", ""},
      {"time 101500", R"({"time":"101500"})"},
      {"time", ""},
      {"date 1261207", ""},
      {"date", R"({"date":"1261207"})"},
      {"sync-clock", ""},
      {"param 7 SEVEN", ""},
      {"param 7", R"({"value":"SEVEN"})"},
      {"param 7 --clear", ""},
      {"param 7", R"({"value":""})"},
      {"params set @/in.txt", R"({"count":3})"},
      {"params get --select 0-3,8-10 --out @/out.txt",
       R"({"command":"params get","params":[{"number":0,"value":"DOOR-1"},{"number":1,"value":"ON"},
           {"number":2,"value":"30"},{"number":3,"value":"BEEP"},{"number":8,"value":"EIGHT"},
           {"number":9,"value":""},{"number":10,"value":"A VALUE LONGER T"}]})"},
      {"params get --select 8", R"({"params":[{"number":8,"value":"EIGHT"}]})"},
      {"drive C", ""},
      {"download @/demo.txt DEMO", R"({"records":4,"name":"DEMO"})"},
      {"download @/unix.txt UNIX --lf", R"({"records":3,"name":"UNIX"})"},
      {"view UNIX", R"({"text":"A\r\n\r\nB\r\n","lines":3})"},
      {"delete UNIX", ""},
      {"list", ""},
      {"list DEMO", R"({"count":1})"},
      // --size as list gives it (33 bytes) fetches the whole file.
      {"view DEMO --size 33", R"({"text":"line one\r\nline two\r\n\r\nline four\r\n","lines":4})"},
      {"upload DEMO @/back.txt", R"({"records":4})"},
      {"delete DEMO", R"({"deleted":true})"},
      {"download --program @/prog.prg", R"({"records":2,"program":true})"},
      {"send 'TIME'", ""},
      {"post TIME", ""},
      {"collect --wait 5", ""},
      {"listen --seconds 1", R"({"messages":[]})"},
      {"version", ""},
      {"ports", ""},
  };
  std::string batch;
  for (const auto &step : steps) batch += step.first + std::string("\n");
  Outcome outcome =
      Veldc({"--json", "--batch", "-"}, std::regex_replace(batch, std::regex("@"), dir.Path()));
  ASSERT_EQ(outcome.status, 0) << outcome.err << outcome.out;
  EXPECT_NE(outcome.err.find("no --link given: using the built-in simulated terminal"),
            std::string::npos);
  std::vector<json> r = JsonLines(outcome.out);
  ASSERT_EQ(r.size(), std::size(steps)) << outcome.out;
  EXPECT_EQ(SchemaErrors(outcome.out), "");
  for (size_t i = 0; i < r.size(); ++i) {
    SCOPED_TRACE(steps[i].first);
    EXPECT_TRUE(r[i]["ok"].get<bool>()) << r[i].dump();
    EXPECT_EQ(r[i]["line"], i + 1);
    if (*steps[i].second == '\0') continue;
    const json expected = json::parse(steps[i].second);
    for (const auto &field : expected.items()) {
      EXPECT_EQ(r[i][field.key()], field.value()) << field.key();
    }
  }
  EXPECT_EQ(r[4]["time"].get<std::string>().substr(0, 4), "1015");
  EXPECT_TRUE(std::regex_match(r[7]["time"].get<std::string>(), std::regex(R"(\d{6})")));
  EXPECT_TRUE(std::regex_match(r[7]["date"].get<std::string>(), std::regex(R"([0-6]\d{6})")));
  EXPECT_EQ(dir.Read("out.txt").substr(0, 10), "00=DOOR-1\n");
  EXPECT_NE(dir.Read("out.txt").find("08=EIGHT\n09=\n"), std::string::npos);
  ASSERT_EQ(r[20]["files"].size(), 3u);
  EXPECT_EQ(r[20]["files"][1]["name"], "DEMO");
  EXPECT_EQ(r[20]["files"][1]["size"], data.size());
  EXPECT_EQ(dir.Read("back.txt"), data);  // the round trip gives the file back byte for byte
  EXPECT_EQ(r[26]["reply"].get<std::string>().substr(0, 5), "TIME ");
  EXPECT_EQ(r[28]["reply"].get<std::string>().substr(0, 5), "TIME ");
  EXPECT_TRUE(std::regex_match(r[30]["veldc"].get<std::string>(), std::regex(R"(\d+\.\d+)")));
  EXPECT_TRUE(
      std::regex_match(r[30]["tool"].get<std::string>(), std::regex(R"(\d+\.\d+\.\d+\.\d+)")));
}

TEST(VeldcSessionTest, TextOutputAndTheModelOfChoice) {
  Outcome outcome = Veldc({"--model", "Sorvik", "--batch", "-"}, "identify\nlist\nview SHIFTS\n");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  std::vector<std::string> lines = Lines(outcome.out);
  ASSERT_GE(lines.size(), 7u) << outcome.out;
  EXPECT_EQ(lines[0].rfind("terminal 0: Sorvik (", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].substr(0, 6), "BADGES");
  EXPECT_EQ(lines[2].substr(0, 6), "SHIFTS");
  EXPECT_EQ(lines[3], "2 files");
  EXPECT_EQ(lines[4], "MON 0700 1530");
  // No progress bar when stderr is not a terminal.
  EXPECT_EQ(outcome.err.find("records"), std::string::npos) << outcome.err;
}

TEST(VeldcSessionTest, ProgressBarOnlyWhenStderrIsATerminal) {
  TempDir dir;
  dir.Write("f.txt", "A\r\nB\r\nC\r\n");
  std::string batch = "download " + dir.File("f.txt") + " F\nupload F " + dir.File("g.txt") + "\n";
  Outcome outcome = RunProgram(kVeldc, {"--batch", "-"}, batch, 60, true);
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  // Both bars end full: the upload's too, whose meter counts fewer bytes than the listing.
  const size_t full = outcome.err.find("100%  3 records  9/9 bytes");
  EXPECT_NE(full, std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("100%  3 records  9/9 bytes", full + 1), std::string::npos)
      << outcome.err;
  EXPECT_NE(outcome.err.find("] "), std::string::npos);
  EXPECT_EQ(dir.Read("g.txt"), "A\r\nB\r\nC\r\n");
  Outcome quiet = RunProgram(kVeldc, {"--no-progress", "--batch", "-"}, batch, 60, true);
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.err.find("records"), std::string::npos) << quiet.err;
}

// The frames of a session, in order, as the trace shows them; the hex line under each record
// must hold exactly the bytes its text shows.
std::vector<std::string> TracedFrames(const std::string &trace) {
  std::vector<std::string> frames;
  std::vector<std::string> lines = Lines(trace);
  const std::regex record(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (port (->|<-) .*)$)");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch match;
    if (!std::regex_match(lines[i], match, record)) continue;
    frames.push_back(match[1]);
    std::string text = match[1].str().substr(8), bytes, error;
    EXPECT_TRUE(Unescape(text, &bytes, &error)) << lines[i];
    if (i + 1 < lines.size() && lines[i + 1].rfind("    hex ", 0) == 0) {
      const char *digits = "0123456789abcdef";
      std::string hex = "    hex";
      for (unsigned char c : bytes) hex += {' ', digits[c >> 4], digits[c & 15]};
      EXPECT_EQ(lines[i + 1], bytes.empty() ? hex + " " : hex) << lines[i];
    }
  }
  return frames;
}

TEST(VeldcTraceTest, ShowsEveryFrameOfTheSessionByteForByte) {
  Outcome outcome = Veldc({"--trace", "--trace", "--batch", "-"}, "param 0\nsend '\\x04'\n");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  std::vector<std::string> frames = TracedFrames(outcome.err);
  // Selection on a direct line: echo probe, empty command, identification.
  std::vector<std::string> expected = {"port -> QRX\\r",    "port <- ??\\r",
                                       "port -> \\r",       "port <- Veld>\\r",
                                       "port -> %XI\\r",    "port <- Veld V2.10 RAM F\\r",
                                       "port -> CFG 00\\r", "port <- CFG 00 DOOR-1\\r",
                                       "port -> \\x04\\r"};
  ASSERT_GE(frames.size(), expected.size() + 1) << outcome.err;
  EXPECT_EQ(std::vector<std::string>(frames.begin(), frames.begin() + 9), expected);
  EXPECT_EQ(frames[9].substr(0, 8), "port <- ");
  EXPECT_EQ(Lines(outcome.out)[0], "DOOR-1");
}

TEST(VeldcTraceTest, TraceFileTakesTheFramesOffStderr) {
  TempDir dir;
  Outcome outcome = Veldc({"--trace-file", dir.File("t.log"), "param", "1"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err.find("port ->"), std::string::npos);
  std::vector<std::string> frames = TracedFrames(dir.Read("t.log"));
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[frames.size() - 2], "port -> CFG 01\\r");
  EXPECT_EQ(frames.back(), "port <- CFG 01 ON\\r");
  EXPECT_EQ(dir.Read("t.log").find("    hex"), std::string::npos);  // one --trace: no hex
}

TEST(VeldcDemoTest, TheDemonstrationRunsAndChecksItsRoundTrip) {
  Outcome outcome =
      RunProgram("/usr/bin/env", {"VELDC_BIN=" + std::string(VELDC_TOOL_PATH), VELDC_DEMO_PATH});
  ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  for (const char *text :
       {"veldc> identify\nterminal 0: Veld", "veldc> param 2\n45\n",
        "downloaded 120 records from badges.txt to BADGES2",
        "uploaded 120 records from BADGES2 to badges-back.txt",
        "the uploaded file is byte for byte the file downloaded (120 records)"}) {
    EXPECT_NE(outcome.out.find(text), std::string::npos) << text << "\n" << outcome.out;
  }
}

}  // namespace
}  // namespace veldc::cli::test
