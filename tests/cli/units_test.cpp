// The tools' own parsing and formatting where the process tests (veldc_test.py) do not reach, and
// where the simulator saves a load.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "files.h"
#include "link.h"
#include "param_file.h"
#include "ports.h"
#include "progress.h"
#include "text_args.h"
#include "trace_log.h"
#include "veldc.h"

namespace veldc::cli {
namespace {

namespace fs = std::filesystem;

const unsigned char *Bytes(const std::string &text) {
  return reinterpret_cast<const unsigned char *>(text.data());
}

struct Folder {  // a fresh folder under /tmp, removed with the test
  char name[22] = "/tmp/veldc-cli-XXXXXX";
  fs::path path = mkdtemp(name);
  ~Folder() { fs::remove_all(path); }
};

// Escapes as the screen shows them; the round trip of any bytes is the cli_text fuzz target's.
TEST(EscapeTest, EscapesAndBrokenHexIsRefused) {
  for (const auto &[raw, escaped] : {std::pair<std::string, std::string>{"TIME\r", "TIME\\r"},
                                     {std::string("\x04*", 2), "\\x04*"},
                                     {"a\\b\t\n", "a\\\\b\\t\\n"},
                                     {"\x7f\xff ~", "\\x7f\\xff ~"}}) {
    EXPECT_EQ(EscapeBytes(Bytes(raw), static_cast<int>(raw.size())), escaped);
  }
  std::string back, error;
  for (const char *bad : {"\\x4", "\\xZZ", "AB\\x", "\\x00"}) {
    EXPECT_FALSE(Unescape(bad, &back, &error)) << bad;
  }
  ASSERT_TRUE(Unescape("C:\\q\\", &back, &error));
  EXPECT_EQ(back, "C:\\q\\");  // an unknown escape and a trailing backslash stay as they are
}

TraceLog::Clock::time_point fakeNow;
TraceLog::Clock::time_point FakeNow() { return fakeNow; }

// Serial bytes gather into lines until a carriage return, a turn or a pause; datagrams and
// driver messages are a line each. Every line is dated: a trace kept in a file outlives its day.
TEST(TraceLogTest, RecordsOfEveryKind) {
  std::FILE *file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    TraceLog log(file, 1, FakeNow);
    log.Add(VELDC_TRACE_PORT_OUT, Bytes("TIME\r"), 5);
    for (char c : std::string("TIME 120000\rTI")) log.Add(VELDC_TRACE_PORT_IN, Bytes({c}), 1);
    log.Add(VELDC_TRACE_PORT_OUT, Bytes("\x11"), 1);  // a turn ends the part-line before it
    fakeNow += TraceLog::kGap;
    for (const auto &[kind, bytes] : {std::pair<int, std::string>{VELDC_TRACE_PORT_OUT, ">PS001\r"},
                                      {VELDC_TRACE_UDP_OUT, {"\x06\x00\x00\x00X\x00", 6}},
                                      {VELDC_TRACE_UDP_IN, {"\x04\x00\x07\x01\x00", 5}},
                                      {VELDC_TRACE_UDP_IN, {"\x09\x00\x01\x00", 4}},
                                      {VELDC_TRACE_UDP_IN, "\x03"},
                                      {VELDC_TRACE_DRIVER_OUT, "\x0cTIME"},
                                      {VELDC_TRACE_DRIVER_IN, "\x0c"},
                                      {VELDC_TRACE_PORT_IN, "AB"}}) {
      log.Add(kind, Bytes(bytes), static_cast<int>(bytes.size()));
    }
    fakeNow += TraceLog::kGap - std::chrono::milliseconds(1);
    log.Add(VELDC_TRACE_PORT_IN, Bytes("C\r"), 2);  // soon enough to stay on the line
    log.Add(VELDC_TRACE_PORT_IN, nullptr, 3);       // nothing to show
    log.Add(VELDC_TRACE_PORT_IN, Bytes("D"), 1);
  }  // the rest is written when the log goes
  std::string all(static_cast<size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  ASSERT_EQ(std::fread(all.data(), 1, all.size(), file), all.size());
  std::fclose(file);
  EXPECT_EQ(all.substr(all.empty() ? 0 : all.size() - 1), "\n") << "the last line is ended too";
  std::vector<std::string> lines;
  std::istringstream in(all);
  const std::regex dated(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )");
  for (std::string line; std::getline(in, line); lines.push_back(line.erase(0, 24))) {
    EXPECT_TRUE(std::regex_search(line, dated)) << line;
  }
  const std::vector<std::string> expected = {
      "port -> TIME\\r",    "port <- TIME 120000\\r", "port <- TI",      "port -> \\x11",
      "port -> >PS001\\r",  "udp -> COMMAND #0 X",    "udp <- ACK #263", "udp <- type 9 #1",
      "udp <- short \\x03", "kov74 -> @12 TIME",      "kov74 <- @12 ",   "port <- ABC\\r",
      "port <- D"};
  EXPECT_EQ(lines, expected);
}

TEST(ParserTest, MistakesAreRefused) {
  std::string error;
  std::vector<std::string> words;
  ASSERT_TRUE(SplitWords("a'b c'd\t e # rest", &words, &error));
  EXPECT_EQ(words, std::vector<std::string>({"ab cd", "e"}));
  ASSERT_TRUE(SplitWords("send x#y \"it's\" ''", &words, &error));
  EXPECT_EQ(words, std::vector<std::string>({"send", "x#y", "it's", ""}));
  int value = 0;
  for (const char *bad : {"", "1x", "100", "-2", "+", "99999999999999999999", " 5"}) {
    EXPECT_FALSE(ParseInt(bad, -1, 99, &value)) << bad;
  }
  std::vector<int> selected;
  for (const char *bad : {"5-2", "100", "a", "1,,2", "", "-3", "0-100"}) {
    EXPECT_FALSE(ParseSelection(bad, &selected, &error)) << bad;
  }
  LinkSpec link;
  for (const char *bad : {"sim:Veld", "direct:", "direct:5", "direct:COM5", "kov74:1:3", "kov74:",
                          "pelo:127.0.0.1", "pelo::2000", "pelo:1.2.3.4:70000", "pelo:1.2.3.4:0"}) {
    EXPECT_FALSE(ParseLink(bad, &link, &error)) << bad;
  }
  // The character formats by name or number (-1, the port's own).
  int format = 42, number = 0;
  for (const char *name : {"8N1", "7O1", "7E1", "8O1", "8E1", "-1"}) {
    EXPECT_TRUE(ParseFormat(name, &format, &error) && format == (number < 5 ? number : -1)) << name;
    ++number;
  }
  EXPECT_FALSE(ParseFormat("8n1", &format, &error));
  EXPECT_FALSE(ParseFormat("5", &format, &error));
  for (const auto &[text, message] :
       {std::pair<const char *, const char *>{
            "x=1\n", "line 1: parameter number must be 0 to 99, not \"x\""},
        {"01=a\n100=1\n", "line 2: parameter number must be 0 to 99, not \"100\""},
        {"5=a\n05=b\n", "line 2: parameter 5 is given twice"}}) {
    std::istringstream in(text);
    std::map<int, std::string> values;
    EXPECT_FALSE(ReadParamFile(in, &values, &error)) << text;
    EXPECT_EQ(error, message);
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

// The kernel's listing as sysfs lays it out: a USB adapter with its by-id name, driver and
// maker is listed; a UART the kernel reserved without hardware and a virtual console are not.
TEST(PortsTest, ListsWhatTheKernelKnowsOfEachSerialDevice) {
  Folder root;
  const std::string usb = "sys/devices/usb1/1-1/", uart = "sys/devices/platform/serial8250",
                    ftdi = "sys/bus/usb-serial/drivers/ftdi_sio", tty = "sys/class/tty/";
  // In this order: "path/" a folder, "path=text" a file, "path>target" a link.
  for (const std::string &entry : std::vector<std::string>{
           usb + "1-1:1.0/ttyUSB0/", uart + "/", ftdi + "/", "sys/bus/platform/drivers/serial8250/",
           tty + "tty0/", tty + "ttyS1/", tty + "ttyUSB0/", "dev/serial/by-id/",
           usb + "product=FT232R", usb + "manufacturer=FTDI", usb + "idVendor=0403",
           usb + "idProduct=6001", tty + "ttyS1/type=0", usb + "1-1:1.0/ttyUSB0/driver>" + ftdi,
           uart + "/driver>sys/bus/platform/drivers/serial8250",
           tty + "ttyUSB0/device>" + usb + "1-1:1.0/ttyUSB0", tty + "ttyS1/device>" + uart,
           "dev/serial/by-id/usb-FTDI_FT232R-if00-port0>dev/ttyUSB0"}) {
    const size_t cut = entry.find_first_of("=>");
    const fs::path path = root.path / entry.substr(0, cut);
    if (cut == std::string::npos) {
      fs::create_directories(path);
    } else if (entry[cut] == '=') {
      std::ofstream(path) << entry.substr(cut + 1);
    } else {
      fs::create_symlink(root.path / entry.substr(cut + 1), path);
    }
  }
  const std::string dev = (root.path / "dev").string();
  const std::vector<SerialPort> ports = ListSerialPorts((root.path / "sys").string(), dev);
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].device, dev + "/ttyUSB0");
  EXPECT_EQ(ports[0].byId,
            std::vector<std::string>{dev + "/serial/by-id/usb-FTDI_FT232R-if00-port0"});
  EXPECT_EQ(ports[0].driver, "ftdi_sio");
  EXPECT_EQ(ports[0].description, "FTDI FT232R (USB 0403:6001)");
}

// veldc-sim --save writes a load only directly inside the save directory, whatever its name.
TEST(SaveLoadsTest, LoadsNeverLeaveTheSaveDirectory) {
  Folder base;
  fs::create_directories(base.path / "a/save");
  std::ofstream(base.path / "X1") << "keep";
  sim::Terminal terminal;
  for (const char *name : {"../EVIL", "../../X1", "/ABS", "A/B", "..", ".", "GOOD", "..GOOD"}) {
    for (const std::string &command :
         {std::string("LOAD ") + name, std::string("R1"), std::string("\x04")}) {
      terminal.Handle(command, 0);
    }
  }
  size_t saved = 0;
  EXPECT_TRUE(simtool::SaveLoads((base.path / "a/save").string(), terminal, &saved));
  EXPECT_EQ(saved, 8u);
  std::set<std::string> files;
  for (const auto &entry : fs::recursive_directory_iterator(base.path)) {
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), base.path).string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"X1", "a/save/GOOD", "a/save/..GOOD"}));
  std::string kept;
  std::getline(std::ifstream(base.path / "X1"), kept);
  EXPECT_EQ(kept, "keep");
}

}  // namespace
}  // namespace veldc::cli
