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

const unsigned char *Bytes(const std::string &text) {
  return reinterpret_cast<const unsigned char *>(text.data());
}

// A fresh folder under /tmp, removed with the test.
struct Folder {
  Folder() {
    char name[] = "/tmp/veldc-cli-XXXXXX";
    path = mkdtemp(name);
  }
  ~Folder() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
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
// driver messages are a line each.
TEST(TraceLogTest, RecordsOfEveryKind) {
  char *text = nullptr;
  size_t size = 0;
  std::FILE *file = open_memstream(&text, &size);
  ASSERT_NE(file, nullptr);
  {
    TraceLog log(file, 1, FakeNow);
    log.Add(VELDC_TRACE_PORT_OUT, Bytes("TIME\r"), 5);
    for (char c : std::string("TIME 120000\rTI")) log.Add(VELDC_TRACE_PORT_IN, Bytes({c}), 1);
    log.Add(VELDC_TRACE_PORT_OUT, Bytes("\x11"), 1);  // a turn ends the part-line before it
    fakeNow += TraceLog::kGap;
    log.Add(VELDC_TRACE_PORT_OUT, Bytes(">PS001\r"), 7);
    for (const auto &[kind, bytes] :
         {std::pair<int, std::string>{VELDC_TRACE_UDP_OUT, {"\x06\x00\x00\x00X\x00", 6}},
          {VELDC_TRACE_UDP_IN, {"\x04\x00\x07\x01\x00", 5}},
          {VELDC_TRACE_UDP_IN, {"\x09\x00\x01\x00", 4}},
          {VELDC_TRACE_UDP_IN, "\x03"},
          {VELDC_TRACE_DRIVER_OUT, "\x0cTIME"},
          {VELDC_TRACE_DRIVER_IN, "\x0c"}}) {
      log.Add(kind, Bytes(bytes), static_cast<int>(bytes.size()));
    }
    log.Add(VELDC_TRACE_PORT_IN, Bytes("AB"), 2);
    fakeNow += TraceLog::kGap - std::chrono::milliseconds(1);
    log.Add(VELDC_TRACE_PORT_IN, Bytes("C\r"), 2);  // soon enough to stay on the line
    log.Add(VELDC_TRACE_PORT_IN, nullptr, 3);       // nothing to show
    log.Add(VELDC_TRACE_PORT_IN, Bytes("D"), 1);
  }  // the rest is written when the log goes
  std::fclose(file);
  const std::string all(text, size);
  std::free(text);
  EXPECT_EQ(all.substr(all.empty() ? 0 : all.size() - 1), "\n") << "the last line is ended too";
  std::vector<std::string> lines;
  std::istringstream in(all);
  for (std::string line; std::getline(in, line);) {
    // Dated: a trace kept in a file outlives its day.
    EXPECT_TRUE(std::regex_search(line, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )")))
        << line;
    lines.push_back(line.erase(0, 24));
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
  // The character formats by name or number.
  int format = 42;
  for (const auto &[name, number] : {std::pair<const char *, int>{"8N1", 0},
                                     {"7O1", 1},
                                     {"7E1", 2},
                                     {"8O1", 3},
                                     {"8E1", 4},
                                     {"-1", -1}}) {
    EXPECT_TRUE(ParseFormat(name, &format, &error) && format == number) << name;
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
  namespace fs = std::filesystem;
  Folder root;
  const fs::path sys = root.path / "sys", dev = root.path / "dev", drivers = sys / "bus";
  const fs::path usb = sys / "devices/usb1/1-1", uart = sys / "devices/platform/serial8250";
  for (const fs::path &dir :
       {usb / "1-1:1.0/ttyUSB0", uart, drivers / "usb-serial/drivers/ftdi_sio",
        drivers / "platform/drivers/serial8250", sys / "class/tty/ttyUSB0", sys / "class/tty/ttyS1",
        sys / "class/tty/tty0", dev / "serial/by-id"}) {
    fs::create_directories(dir);
  }
  for (const auto &[file, text] :
       {std::pair<const char *, const char *>{"product", "FT232R USB UART"},
        {"manufacturer", "FTDI"},
        {"idVendor", "0403"},
        {"idProduct", "6001"}}) {
    std::ofstream(usb / file) << text << "\n";
  }
  std::ofstream(sys / "class/tty/ttyS1/type") << "0\n";
  fs::create_directory_symlink(drivers / "usb-serial/drivers/ftdi_sio",
                               usb / "1-1:1.0/ttyUSB0/driver");
  fs::create_directory_symlink(drivers / "platform/drivers/serial8250", uart / "driver");
  fs::create_directory_symlink(usb / "1-1:1.0/ttyUSB0", sys / "class/tty/ttyUSB0/device");
  fs::create_directory_symlink(uart, sys / "class/tty/ttyS1/device");
  fs::create_symlink("../../ttyUSB0", dev / "serial/by-id/usb-FTDI_FT232R-if00-port0");
  const std::vector<SerialPort> ports = ListSerialPorts(sys.string(), dev.string());
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].device, (dev / "ttyUSB0").string());
  EXPECT_EQ(ports[0].byId,
            std::vector<std::string>{(dev / "serial/by-id/usb-FTDI_FT232R-if00-port0").string()});
  EXPECT_EQ(ports[0].driver, "ftdi_sio");
  EXPECT_EQ(ports[0].description, "FTDI FT232R USB UART (USB 0403:6001)");
}

// veldc-sim --save writes a load only directly inside the save directory, whatever its name.
TEST(SaveLoadsTest, LoadsNeverLeaveTheSaveDirectory) {
  namespace fs = std::filesystem;
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
