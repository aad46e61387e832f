// The tool's own parsing and formatting: link texts, batch words, escapes, parameter files,
// trace records and progress lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>

#include "link.h"
#include "param_file.h"
#include "progress.h"
#include "text_args.h"
#include "trace_log.h"
#include "veldc.h"

namespace veldc::cli {
namespace {

const unsigned char *Bytes(const std::string &text) {
  return reinterpret_cast<const unsigned char *>(text.data());
}

TEST(EscapeTest, ControlAndHighBytesAreEscaped) {
  struct Case {
    std::string raw, escaped;
  } cases[] = {
      {"TIME\r", "TIME\\r"}, {std::string("\x04*", 2), "\\x04*"}, {"a\\b", "a\\\\b"},
      {"\t\n", "\\t\\n"},    {"\x7f\xff ~", "\\x7f\\xff ~"},      {"", ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(EscapeBytes(Bytes(c.raw), static_cast<int>(c.raw.size())), c.escaped) << c.escaped;
  }
}

TEST(EscapeTest, UnescapeUndoesEscapeForEveryByte) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string back, error;
  ASSERT_TRUE(Unescape(EscapeBytes(Bytes(all), static_cast<int>(all.size())), &back, &error));
  EXPECT_EQ(back, all);
}

TEST(EscapeTest, UnescapeRefusesBrokenHexAndNul) {
  for (const char *bad : {"\\x4", "\\xZZ", "AB\\x", "\\x00"}) {
    std::string out, error;
    EXPECT_FALSE(Unescape(bad, &out, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  std::string out, error;
  ASSERT_TRUE(Unescape("C:\\q\\", &out, &error));
  EXPECT_EQ(out, "C:\\q\\");  // an unknown escape and a trailing backslash stay as they are
}

TEST(TraceFormatTest, RecordsOfEveryKind) {
  const std::string data = std::string("\x03\x00\x05\x00TIME\r\x00", 10);
  const std::string ack = std::string("\x04\x00\x07\x01\x00", 5);
  const std::string odd = std::string("\x09\x00\x01\x00", 4);
  const std::string driver = std::string("\x0cTIME", 5);
  struct Case {
    int kind;
    std::string bytes, text;
  } cases[] = {
      {VELDC_TRACE_PORT_OUT, "TIME\r", "port -> TIME\\r"},
      {VELDC_TRACE_PORT_IN, "\nTIME 120000\r", "port <- \\nTIME 120000\\r"},
      {VELDC_TRACE_UDP_OUT, data, "udp -> DATA #5 TIME\\r"},
      {VELDC_TRACE_UDP_IN, ack, "udp <- ACK #263"},
      {VELDC_TRACE_UDP_IN, odd, "udp <- type 9 #1"},
      {VELDC_TRACE_UDP_IN, "\x03", "udp <- short \\x03"},
      {VELDC_TRACE_DRIVER_OUT, driver, "kov74 -> @12 TIME"},
      {VELDC_TRACE_DRIVER_IN, std::string("\x0c", 1), "kov74 <- @12 "},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(FormatRecord(c.kind, Bytes(c.bytes), static_cast<int>(c.bytes.size()), false),
              c.text);
  }
  EXPECT_EQ(FormatRecord(VELDC_TRACE_PORT_OUT, Bytes("TIME\r"), 5, true),
            "port -> TIME\\r\n    hex 54 49 4d 45 0d");
}

// Reads back what a TraceLog wrote to a temporary file, without the time stamps.
std::vector<std::string> Logged(std::FILE *file) {
  std::fflush(file);
  std::rewind(file);
  std::vector<std::string> lines;
  char line[512];
  const std::regex stamp(R"(^\d\d:\d\d:\d\d\.\d{3} )");
  while (std::fgets(line, sizeof line, file)) {
    std::string text(line);
    text.pop_back();
    if (text.rfind("    hex ", 0) == 0) {
      lines.push_back(text);
      continue;
    }
    EXPECT_TRUE(std::regex_search(text, stamp)) << text;
    lines.push_back(text.substr(13));
  }
  return lines;
}

TEST(TraceLogTest, SerialBytesAreGatheredIntoLines) {
  std::FILE *file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    TraceLog log(file, 1);
    log.Add(VELDC_TRACE_PORT_OUT, Bytes("TIME\r"), 5);
    for (char c : std::string("TIME 120000\rTI")) {
      log.Add(VELDC_TRACE_PORT_IN, reinterpret_cast<const unsigned char *>(&c), 1);
    }
    // A change of direction ends the part-line that came before it.
    log.Add(VELDC_TRACE_PORT_OUT, Bytes("\x11"), 1);
    log.Add(VELDC_TRACE_UDP_OUT, Bytes(std::string("\x06\x00\x00\x00X\x00", 6)), 6);
    log.Add(VELDC_TRACE_PORT_IN, Bytes("AB"), 2);
    log.Add(VELDC_TRACE_PORT_IN, nullptr, 3);  // nothing to show
  }                                            // the rest is written when the log goes
  std::vector<std::string> expected = {"port -> TIME\\r", "port <- TIME 120000\\r", "port <- TI",
                                       "port -> \\x11",   "udp -> COMMAND #0 X",    "port <- AB"};
  EXPECT_EQ(Logged(file), expected);
  std::fclose(file);
}

TraceLog::Clock::time_point fakeNow;
TraceLog::Clock::time_point FakeNow() { return fakeNow; }

TEST(TraceLogTest, APauseInsideALineSplitsIt) {
  std::FILE *file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    TraceLog log(file, 1, FakeNow);
    log.Add(VELDC_TRACE_PORT_OUT, Bytes("\x11"), 1);  // XON, then a long wait
    fakeNow += TraceLog::kGap;
    log.Add(VELDC_TRACE_PORT_OUT, Bytes(">PS001\r"), 7);
    log.Add(VELDC_TRACE_PORT_IN, Bytes("AB"), 2);
    fakeNow += TraceLog::kGap - std::chrono::milliseconds(1);
    log.Add(VELDC_TRACE_PORT_IN, Bytes("C\r"), 2);  // soon enough to stay on the line
  }
  std::vector<std::string> expected = {"port -> \\x11", "port -> >PS001\\r", "port <- ABC\\r"};
  EXPECT_EQ(Logged(file), expected);
  std::fclose(file);
}

TEST(TraceLogTest, SecondLevelAddsHexUnderEachRecord) {
  std::FILE *file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    TraceLog log(file, 2);
    log.Add(VELDC_TRACE_PORT_OUT, Bytes("%XI\r"), 4);
  }
  std::vector<std::string> expected = {"port -> %XI\\r", "    hex 25 58 49 0d"};
  EXPECT_EQ(Logged(file), expected);
  std::fclose(file);
}

TEST(SplitWordsTest, QuotesCommentsAndBlanks) {
  struct Case {
    std::string line;
    std::vector<std::string> words;
  } cases[] = {
      {"send 'A  B'", {"send", "A  B"}},   {"param 5 \"\"", {"param", "5", ""}},
      {"   # only a comment", {}},         {"list # the rest", {"list"}},
      {"a'b c'd\t e", {"ab cd", "e"}},     {"send x#y", {"send", "x#y"}},
      {"send \"it's\"", {"send", "it's"}}, {"", {}},
  };
  for (const Case &c : cases) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(SplitWords(c.line, &words, &error)) << c.line;
    EXPECT_EQ(words, c.words) << c.line;
  }
  std::vector<std::string> words;
  std::string error;
  EXPECT_FALSE(SplitWords("send 'open", &words, &error));
  EXPECT_EQ(error, "unclosed ' quote");
}

TEST(NumberTest, WholeNumbersInRangeOnly) {
  struct Case {
    const char *text;
    bool ok;
    int value;
  } cases[] = {{"12", true, 12}, {"-1", true, -1}, {"0", true, 0},
               {"", false, 0},   {"1x", false, 0}, {"100", false, 0},
               {"-2", false, 0}, {"+", false, 0},  {"99999999999999999999", false, 0},
               {" 5", false, 0}};
  for (const Case &c : cases) {
    int value = 777;
    EXPECT_EQ(ParseInt(c.text, -1, 99, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 777) << c.text;
  }
}

TEST(SelectionTest, RangesListsAndMistakes) {
  std::vector<int> selected;
  std::string error;
  ASSERT_TRUE(ParseSelection("all", &selected, &error));
  EXPECT_EQ(std::count(selected.begin(), selected.end(), 1), 100);
  ASSERT_TRUE(ParseSelection("0-2,5,99", &selected, &error));
  std::vector<int> expected(100, 0);
  for (int n : {0, 1, 2, 5, 99}) expected[static_cast<size_t>(n)] = 1;
  EXPECT_EQ(selected, expected);
  for (const char *bad : {"5-2", "100", "a", "1,,2", "", "-3", "0-100"}) {
    EXPECT_FALSE(ParseSelection(bad, &selected, &error)) << bad;
  }
}

TEST(ParamFileTest, ReadsValuesWithBlanksAndEmptyOnes) {
  std::istringstream in("00=A\n# note\n\n 5=with blank \n07=\r\n99=x=y\n");
  std::map<int, std::string> values;
  std::string error;
  ASSERT_TRUE(ReadParamFile(in, &values, &error)) << error;
  std::map<int, std::string> expected = {{0, "A"}, {5, "with blank "}, {7, ""}, {99, "x=y"}};
  EXPECT_EQ(values, expected);
  EXPECT_EQ(WriteParamFile(expected), "00=A\n05=with blank \n07=\n99=x=y\n");
}

TEST(ParamFileTest, MistakesNameTheirLine) {
  struct Case {
    const char *text, *error;
  } cases[] = {
      {"x=1\n", "line 1: parameter number must be 0 to 99, not \"x\""},
      {"01=a\n100=1\n", "line 2: parameter number must be 0 to 99, not \"100\""},
      {"\n5\n", "line 2: expected NN=value"},
      {"5=a\n05=b\n", "line 2: parameter 5 is given twice"},
  };
  for (const Case &c : cases) {
    std::istringstream in(c.text);
    std::map<int, std::string> values;
    std::string error;
    EXPECT_FALSE(ReadParamFile(in, &values, &error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
}

TEST(LinkTest, EveryKindAndItsArguments) {
  struct Case {
    const char *text;
    LinkKind kind;
    int port;
    const char *device;
    int mode;
    const char *ip;
    int deviceKind;
  } cases[] = {
      {"sim", LinkKind::kSim, 1, "", 0, "", DEV_SERIAL_DIRECT},
      {"direct:2", LinkKind::kDirect, 2, "", 0, "", DEV_SERIAL_DIRECT},
      {"direct:/dev/ttyUSB0", LinkKind::kDirect, 1, "/dev/ttyUSB0", 0, "", DEV_SERIAL_DIRECT},
      {"network:4", LinkKind::kNetwork, 4, "", 0, "", DEV_SERIAL_NETWORK},
      {"logon:/dev/pts/3", LinkKind::kLogon, 1, "/dev/pts/3", 0, "", DEV_SERIAL_LOGON},
      {"kov74:3", LinkKind::kKov74, 3, "", 0, "", DEV_KOV74_MODE0},
      {"kov74:1:1", LinkKind::kKov74, 1, "", 1, "", DEV_KOV74_MODE1},
      {"kov74:2:2", LinkKind::kKov74, 2, "", 2, "", DEV_KOV74_MODE2},
      {"pelo:127.0.0.1:2000", LinkKind::kPelo, 2000, "", 0, "127.0.0.1", DEV_PELO},
  };
  for (const Case &c : cases) {
    LinkSpec link;
    std::string error;
    ASSERT_TRUE(ParseLink(c.text, &link, &error)) << c.text << ": " << error;
    EXPECT_EQ(link.kind, c.kind) << c.text;
    EXPECT_EQ(link.port, c.port) << c.text;
    EXPECT_EQ(link.device, c.device) << c.text;
    EXPECT_EQ(link.kov74Mode, c.mode) << c.text;
    EXPECT_EQ(link.ip, c.ip) << c.text;
    EXPECT_EQ(DeviceKindOf(link), c.deviceKind) << c.text;
  }
}

TEST(LinkTest, MistakesAreRefusedWithAReason) {
  for (const char *bad :
       {"serial:1", "sim:Veld", "direct:", "direct:5", "direct:COM5", "kov74:5", "kov74:1:3",
        "kov74:", "pelo:127.0.0.1", "pelo::2000", "pelo:1.2.3.4:70000", "pelo:1.2.3.4:0", ""}) {
    LinkSpec link;
    std::string error;
    EXPECT_FALSE(ParseLink(bad, &link, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(FormatTest, NumbersAndNames) {
  struct Case {
    const char *text;
    bool ok;
    int format;
  } cases[] = {{"8N1", true, 0},  {"7O1", true, 1}, {"7E1", true, 2}, {"8O1", true, 3},
               {"8E1", true, 4},  {"3", true, 3},   {"-1", true, -1}, {"5", false, 0},
               {"9N1", false, 0}, {"8n1", false, 0}};
  for (const Case &c : cases) {
    int format = 42;
    std::string error;
    EXPECT_EQ(ParseFormat(c.text, &format, &error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(format, c.format) << c.text;
    }
  }
}

TEST(ProgressLineTest, TransferAndConnectBars) {
  EXPECT_EQ(TransferLine(3, 50, 200, 10), "[##........]  25%  3 records  50/200 bytes");
  EXPECT_EQ(TransferLine(3, 50, 0, 10), "3 records  50 bytes");
  EXPECT_EQ(TransferLine(9, 250, 200, 10), "[##########] 100%  9 records  250/200 bytes");
  EXPECT_EQ(TransferLine(1, 4000000000u, 4294967295u, 10),
            "[#########.]  93%  1 records  4000000000/4294967295 bytes");
  EXPECT_EQ(ConnectLine(1200, 7000, "Status Request", 10),
            "[#.........] connect 1.2/7.0 s  Status Request");
  EXPECT_EQ(ConnectLine(9000, 7000, "", 10), "[##########] connect 9.0/7.0 s");
}

}  // namespace
}  // namespace veldc::cli
