// The tools' own parsing where the process tests (veldc_test.py) do not reach, and the serial
// port listing on a sysfs tree of the test's own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "files.h"
#include "link.h"
#include "param_file.h"
#include "ports.h"
#include "text_args.h"

namespace veldc::cli {
namespace {

namespace fs = std::filesystem;

struct Folder {  // a fresh folder under /tmp, removed with the test
  char name[22] = "/tmp/veldc-cli-XXXXXX";
  fs::path path = mkdtemp(name);
  ~Folder() { fs::remove_all(path); }
};

TEST(ParserTest, MistakesAreRefused) {
  std::string error, back;
  for (const char *bad : {"\\x4", "\\xZZ", "AB\\x", "\\x00"}) {
    EXPECT_FALSE(Unescape(bad, &back, &error)) << bad;
  }
  ASSERT_TRUE(Unescape("C:\\q\\", &back, &error));
  EXPECT_EQ(back, "C:\\q\\");  // an unknown escape and a trailing backslash stay as they are
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
        {"5=a\n05=b\n", "line 2: parameter 5 is given twice"}}) {
    std::istringstream in(text);
    std::map<int, std::string> values;
    EXPECT_FALSE(ReadParamFile(in, &values, &error)) << text;
    EXPECT_EQ(error, message);
  }
}

// The kernel's listing as sysfs lays it out: a USB adapter with its by-id name, driver and
// maker is listed; a UART the kernel reserved without hardware and a virtual console are not.
TEST(PortsTest, ListsWhatTheKernelKnowsOfEachSerialDevice) {
  Folder root;
  const std::string usb = "sys/devices/usb1/1-1/", uart = "sys/devices/platform/serial8250",
                    ftdi = "sys/bus/usb-serial/drivers/ftdi_sio", tty = "sys/class/tty/";
  // In this order: "path/" a folder, "path=text" a file, "path>target" a link.
  for (const std::string &entry : std::vector<std::string>{
           usb + "1-1:1.0/ttyUSB0/", uart + "/", ftdi + "/", tty + "tty0/", tty + "ttyS1/",
           tty + "ttyUSB0/", "dev/serial/by-id/", usb + "product=FT232R", usb + "manufacturer=FTDI",
           usb + "idVendor=0403", usb + "idProduct=6001", tty + "ttyS1/type=0",
           usb + "1-1:1.0/ttyUSB0/driver>" + ftdi,
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

// A hostile host's load names never put a file outside veldc-sim's save directory.
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
  std::ifstream kept(base.path / "X1");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
}

}  // namespace
}  // namespace veldc::cli
