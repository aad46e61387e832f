// veldc run as a user runs it: a process, its stdout, stderr and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
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

// Every refusal and failure: the code is the exit status and leads the message on stderr, and
// --json reports the same. Bad usage (100) and PC files veldc cannot use (101) are refused
// within 100 ms before the line is touched; the built-in simulator is named only when used.
// In the arguments %D, %N and %L are a direct, network and log-on link on a watched pty, %B a
// busy port, %K one the user may not open, @ the test's directory, %V33 and %C128 long words.
TEST(VeldcErrorTest, EveryFailureIsItsExitStatusAndMessage) {
  TempDir dir;
  dir.Write("p.txt", "01=A\nnonsense\n");
  dir.Write("unix.txt", "A\nB\n");
  dir.Write("mixed.txt", "A\r\nB\nC\r\n");
  dir.Write("long.txt", "A\r\nB\r\n" + std::string(128, 'x') + "\r\n");
  std::string many;
  for (int i = 0; i < 10001; ++i) many += "R\r\n";
  dir.Write("many.txt", many);
  mkfifo(dir.File("fifo").c_str(), 0600);
  PtyPeer line, busy, locked;
  const int holder = open(busy.Path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  std::vector<std::string> asNobody;  // root opens any port: the locked one is tried as nobody
  if (geteuid() == 0) {
    asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  } else {
    chmod(locked.Path().c_str(), 0);
  }
  const std::map<std::string, std::string> words = {
      {"%D", "direct:" + line.Path()},   {"%N", "network:" + line.Path()},
      {"%L", "logon:" + line.Path()},    {"%B", "direct:" + busy.Path()},
      {"%K", "direct:" + locked.Path()}, {"%V33", std::string(33, 'v')},
      {"%C128", std::string(128, 'c')}};
  const std::string open = "Unable to open RS232 com port (opening the direct link): ";
  const struct {
    const char *args;
    int status;
    std::string message;
    const char *input = "", *hint = "";
  } cases[] = {
      {"bogus", 100, "unknown command or extra argument: bogus"},
      {"identify extra", 100, "unknown command or extra argument: extra"},
      {"time 1 2 3", 100, "unknown command or extra argument: 2 3"},
      {"param", 100, "number is required"},
      {"param abc", 100, "Could not convert: number = abc"},
      {"view X --size -5", 100, "Could not convert"},
      {"-l serial:1 time", 100, "unknown link \"serial:1\""},
      {"-l kov74:9 time", 100, "kov74 needs a COM port number 1 to 4"},
      {"--format 9N1 time", 100, "character format is 0 to 4"},
      {"--model Zzz identify", 100, "--model"},
      {"send \\x4", 100, "\\x needs two hex digits"},
      {"download --program a.prg NAME", 100, "a program has no terminal file"},
      {"", 100, "no command given"},
      {"--batch - time", 100, "give either a command or --batch"},
      {"--batch -", 100, "stdin:1: unknown command or extra argument: frob", "frob 1\n"},
      {"--batch -", 100, "stdin:1: unclosed ' quote", "send 'open\n"},
      {"--batch /nonexistent/session.txt", 101, "cannot read /nonexistent/session.txt"},
      {"params set /nonexistent/p.txt", 101, "cannot read /nonexistent/p.txt"},
      {"download /nonexistent/f.txt", 101, "cannot read /nonexistent/f.txt"},
      {"--trace-file /nonexistent/t.log time", 101, "cannot write /nonexistent"},
      {"params set @p.txt", 101, dir.File("p.txt") + ": line 2: expected"},
      {"-l foo time", 100,
       "unknown link \"foo\" (sim, direct:DEV, network:DEV, logon:DEV, "
       "kov74:N[:MODE], pelo:IP:PORT)"},
      {"--batch -", 62, "stdin:1: Send command ignored", "view NOFILE\ntime\n"},
      {"adapter X", 2, "Device not initialized"},
      {"-l %D -a 5 time", 100, "terminal address 5 is not possible on a direct link (only 0)"},
      {"-l %L -a 32 time", 100, "on a log-on line (0 to 31)"},
      {"-l %N -a 1,0 time", 100, "terminal address 0 is not possible on a network"},
      {"-l %N -a 1000 time", 100, "address 1000 is not possible"},
      {"-l %D -a -1 time", 100, "--address \"-1\" is not an address"},
      {"-l %D -p 123456 time", 100, "a password has 1 to 5 characters, not 6"},
      {"-l %D time 240000", 100, "time \"240000\" is not HHMMSS"},
      {"-l %D time 12:00:", 100, "time \"12:00:\" is not HHMMSS"},
      {"-l %D date 7261205", 100, "date \"7261205\" is not WYYMMDD"},
      {"-l %D date 6260230", 100, "date \"6260230\" is not WYYMMDD"},
      {"-l %D param 100", 100, "parameter 100 does not exist (0 to 99)"},
      {"-l %D param 5 %V33", 100, "at most 32 characters, not 33"},
      {"-l %D drive D", 100, "drive \"D\" is not A, B or C"},
      {"-l %D view NINECHARS", 100, "\"NINECHARS\" must have 1 to 8 characters"},
      {"-l %D send %C128", 100, "at most 127 characters, not 128"},
      {"-l %D download @unix.txt", 101,
       "unix.txt: line 1 ends in LF only (a Unix text file); give --lf"},
      {"-l %D download @mixed.txt", 101, "mixed.txt: line 2 ends in LF only (mixed line ends)"},
      {"-l %D download @long.txt", 101,
       "long.txt: line 3 is longer than the 127 characters a record holds"},
      {"-l %D download @many.txt", 101,
       "many.txt: 10001 records; a terminal file takes at most 10000"},
      {"-l %D download @fifo F", 101, "fifo: not a regular file"},
      {"-l %D params set @fifo", 101, "fifo: not a regular file"},
      {"-l %D --batch @fifo", 101, "fifo: not a regular file"},
      {"-l %D --batch -", 100, "stdin:3: parameter 100 does not exist",
       "time\nparam 1\nparam 100\n"},
      {"-l %D --batch -", 100, "stdin:2: unknown command", "time\nfrob\n"},
      // A port that cannot be opened names its cause and a hint.
      {"-l direct:/nonexistent/ttyUSB9 time", 22,
       open + "/nonexistent/ttyUSB9: No such file or directory", "",
       "no such device: veldc ports lists"},
      {"-l %B time", 22, open + busy.Path() + ": Device or resource busy", "", "is in use by"},
      {"-l %K time", 22, open + locked.Path() + ": Permission denied", "", "dialout"},
      {"-l direct:/dev/null time", 22, open + "/dev/null: not a serial device", "",
       "not a serial port"},
  };
  std::string allJson;
  for (const auto &c : cases) {
    std::vector<std::string> args, text, traced;
    std::string error;
    ASSERT_TRUE(SplitWords(c.args, &args, &error));
    if (args.size() > 1 && args[1] == "%K") text = asNobody;
    text.push_back(kVeldc);
    traced = text;
    traced.insert(traced.end(), {"--json", "--trace"});
    for (std::string &word : args) {
      word = words.count(word) ? words.at(word)
                               : std::regex_replace(word, std::regex("^@"), dir.Path() + "/");
      text.push_back(word), traced.push_back(word);
    }
    const Outcome out = RunProgram(text[0], {text.begin() + 1, text.end()}, c.input);
    const auto start = std::chrono::steady_clock::now();
    const Outcome js = RunProgram(traced[0], {traced.begin() + 1, traced.end()}, c.input);
    const auto took = std::chrono::steady_clock::now() - start;
    SCOPED_TRACE(std::string(c.args) + "\n" + out.err + js.err);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(js.status, c.status);
    EXPECT_NE(out.err.find("veldc: error " + std::to_string(c.status) + ": "), std::string::npos);
    EXPECT_NE(out.err.find(c.message), std::string::npos);
    EXPECT_TRUE(args.empty() || out.out.empty());  // without a command the help goes to stdout
    const bool linked = !args.empty() && args[0] == "-l";
    EXPECT_EQ(out.err.find("no --link given") != std::string::npos, c.status < 100 && !linked);
    const std::vector<json> r = JsonLines(js.out);
    ASSERT_EQ(r.size(), 1u) << js.out;
    allJson += js.out;
    EXPECT_EQ(r[0]["ok"], false);
    EXPECT_EQ(r[0]["error"]["code"], c.status);
    const std::string message = r[0]["error"]["message"],
                      detail = r[0]["error"].value("detail", "");
    const std::string bare = message.substr(0, message.find(" (try --help)"));
    EXPECT_TRUE(c.message.find(bare) != std::string::npos ||
                bare.find(c.message) != std::string::npos)
        << message;
    EXPECT_NE(js.err.find(detail.empty() ? message : message + ": " + detail), std::string::npos);
    if (*c.hint != '\0') {
      EXPECT_NE(js.err.find("veldc: hint: "), std::string::npos);
      EXPECT_NE(r[0]["error"]["hint"].get<std::string>().find(c.hint), std::string::npos);
    }
    if (c.status < 100) continue;
    EXPECT_EQ(js.err.find("port ->"), std::string::npos);
    EXPECT_LT(r[0]["duration"].get<double>(), 0.1);
    EXPECT_LT(took, std::chrono::seconds(5));  // the whole process, start included
  }
  EXPECT_EQ(line.Heard(), "");
  EXPECT_EQ(SchemaErrors(allJson), "");
  close(holder);
}

TEST(VeldcUsageTest, VersionsFromOneSourceAndHelpWithExamples) {
  const Outcome veldc = Veldc({"--version"});
  EXPECT_EQ(veldc.status, 0);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(veldc.out, m, std::regex(R"(^veldc (\d+\.\d+\.\d+\.\d+)\n)")))
      << veldc.out;
  EXPECT_NE(veldc.out.find("libveldc 1.0"), std::string::npos) << veldc.out;
  const Outcome sim = RunProgram(VELDC_SIM_PATH, {"--version"});
  EXPECT_EQ(sim.status, 0);
  EXPECT_EQ(sim.out, "veldc-sim " + m[1].str() + "\n");
  const Outcome whole = Veldc({"--help"}), one = Veldc({"params", "get", "--help"});
  EXPECT_EQ(whole.status + one.status, 0);
  for (const char *text : {"Examples:", "pelo:IP:PORT", "--batch", "whether a retry may help",
                           "129 130 143  interrupted"}) {
    EXPECT_NE(whole.out.find(text), std::string::npos) << text;
  }
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
  const auto matches = [](const json &text, const char *pattern) {
    return std::regex_match(text.get<std::string>(), std::regex(pattern));
  };
  EXPECT_TRUE(matches(r[4]["time"], "1015\\d\\d"));
  EXPECT_TRUE(matches(r[7]["time"], R"(\d{6})"));
  EXPECT_TRUE(matches(r[7]["date"], R"([0-6]\d{6})"));
  EXPECT_EQ(dir.Read("out.txt").substr(0, 10), "00=DOOR-1\n");
  EXPECT_NE(dir.Read("out.txt").find("08=EIGHT\n09=\n"), std::string::npos);
  ASSERT_EQ(r[20]["files"].size(), 3u);
  EXPECT_EQ(r[20]["files"][1]["name"], "DEMO");
  EXPECT_EQ(r[20]["files"][1]["size"], data.size());
  EXPECT_EQ(dir.Read("back.txt"), data);
  EXPECT_TRUE(matches(r[26]["reply"], "TIME .*"));
  EXPECT_TRUE(matches(r[28]["reply"], "TIME .*"));
  EXPECT_TRUE(matches(r[30]["veldc"], R"(\d+\.\d+)"));
  EXPECT_TRUE(matches(r[30]["tool"], R"(\d+\.\d+\.\d+\.\d+)"));
}

// The frames of a trace in order; the hex line under a record must hold exactly its bytes.
std::vector<std::string> TracedFrames(const std::string &trace) {
  std::vector<std::string> frames, lines = Lines(trace);
  const std::regex record(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (port (->|<-) .*)$)");
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch match;
    if (!std::regex_match(lines[i], match, record)) continue;
    frames.push_back(match[1]);
    std::string bytes, error, hex = "    hex";
    EXPECT_TRUE(Unescape(match[1].str().substr(8), &bytes, &error)) << lines[i];
    if (i + 1 < lines.size() && lines[i + 1].rfind("    hex ", 0) == 0) {
      for (unsigned char c : bytes)
        hex += {' ', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
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

// Text output of another model; the trace in a file, without hex, and no progress bar when
// stderr is not a terminal.
TEST(VeldcSessionTest, TextOutputTheModelOfChoiceAndATraceFile) {
  TempDir dir;
  Outcome outcome = Veldc({"--model", "Sorvik", "--trace-file", dir.File("t.log"), "--batch", "-"},
                          "identify\nlist\nview SHIFTS\nparam 1\n");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  std::vector<std::string> lines = Lines(outcome.out);
  ASSERT_GE(lines.size(), 7u) << outcome.out;
  EXPECT_EQ(lines[0].rfind("terminal 0: Sorvik (", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].substr(0, 6), "BADGES");
  EXPECT_EQ(lines[2].substr(0, 6), "SHIFTS");
  EXPECT_EQ(lines[3], "2 files");
  EXPECT_EQ(lines[4], "MON 0700 1530");
  EXPECT_EQ(lines.back(), "ON");
  EXPECT_EQ(outcome.err.find("records"), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find("port ->"), std::string::npos);
  std::vector<std::string> frames = TracedFrames(dir.Read("t.log"));
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[frames.size() - 2], "port -> CFG 01\\r");
  EXPECT_EQ(frames.back(), "port <- CFG 01 ON\\r");
  EXPECT_EQ(dir.Read("t.log").find("    hex"), std::string::npos);
}

TEST(VeldcSessionTest, ProgressBarOnlyWhenStderrIsATerminal) {
  TempDir dir;
  dir.Write("f.txt", "A\r\nB\r\nC\r\n");
  std::string batch = "download " + dir.File("f.txt") + " F\nupload F " + dir.File("g.txt") + "\n";
  Outcome outcome = RunProgram(kVeldc, {"--batch", "-"}, batch, 60, true);
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  // Both bars end full: the upload's too, whose meter counts fewer bytes than the listing.
  const size_t full = outcome.err.find("] 100%  3 records  9/9 bytes");
  EXPECT_NE(full, std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("] 100%  3 records  9/9 bytes", full + 1), std::string::npos);
  EXPECT_EQ(dir.Read("g.txt"), "A\r\nB\r\nC\r\n");
  Outcome quiet = RunProgram(kVeldc, {"--no-progress", "--batch", "-"}, batch, 60, true);
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.err.find("records"), std::string::npos) << quiet.err;
}

// Terminal text reaches the screen escaped, so escape sequences in a reply or file cannot act on
// the user's terminal; in --json its 8-bit bytes are Latin-1 characters (Müller recoverable).
TEST(VeldcSessionTest, TerminalTextEscapedOnTheScreenAndLatin1InJson) {
  const std::string hostile = "\x1b]0;owned\x07\x1b[2J";  // a window title, a cleared screen
  PtyPeer terminal([&](const std::string &line) -> std::string {
    const std::map<std::string, std::string> replies = {
        {"QRX", "??"},
        {"", "Veld>"},
        {"%XI", "Veld V2.10 RAM F"},
        {"TIME", "TIME 12" + hostile},
        {"DATE", "DATE 6" + hostile},
        {"CFG 07", "CFG 07 M\xFCller" + hostile},
        {"TYPE NOTE", "TYPE NOTE\r\xC5sa" + hostile +
                          "\r\x04"
                          "1"}};
    return replies.count(line) ? replies.at(line) : line;
  });
  const std::string batch = "time\ndate\nparam 7\nparams get --select 7\nview NOTE\n";
  const Outcome text = Veldc({"--link", "direct:" + terminal.Path(), "--batch", "-"}, batch);
  ASSERT_EQ(text.status, 0) << text.err;
  const std::string shown = "\\x1b]0;owned\\x07\\x1b[2J";
  // A block read keeps 16 characters of a value.
  EXPECT_EQ(Lines(text.out),
            (std::vector<std::string>{"12" + shown, "6" + shown, "M\\xfcller" + shown,
                                      "07=M\\xfcller\\x1b]0;owned\\x07", "\\xc5sa" + shown}));
  const Outcome js =
      Veldc({"--json", "--link", "direct:" + terminal.Path(), "--batch", "-"}, batch);
  ASSERT_EQ(js.status, 0) << js.err;
  EXPECT_EQ(SchemaErrors(js.out), "");
  const std::vector<json> r = JsonLines(js.out);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0]["time"], "12" + hostile);
  EXPECT_EQ(r[1]["date"], "6" + hostile);
  EXPECT_EQ(r[2]["value"], "M\xC3\xBCller" + hostile);  // ü as UTF-8: U+00FC
  EXPECT_EQ(r[3]["params"][0]["value"], "M\xC3\xBCller\x1b]0;owned\x07");
  EXPECT_EQ(r[4]["text"], "\xC3\x85sa" + hostile + "\r\n");
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
