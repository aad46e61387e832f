#include "ports.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace veldc::cli {
namespace {

std::vector<std::string> Entries(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  for (dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string FirstLine(const std::string &path) {
  std::string line;
  std::getline(std::ifstream(path), line);
  return line;
}

std::string LinkBase(const std::string &path) {
  char target[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = '\0';
  const std::string t = target;
  return t.substr(t.find_last_of('/') + 1);
}

// The maker and product of the USB device a tty hangs off, looked for up its device path.
std::string UsbDescription(const std::string &deviceDir) {
  char real[PATH_MAX];
  if (realpath(deviceDir.c_str(), real) == nullptr) return "";
  std::string dir = real;
  for (int up = 0; up < 4 && dir.size() > 1; ++up) {
    const std::string product = FirstLine(dir + "/product");
    if (!product.empty()) {
      const std::string maker = FirstLine(dir + "/manufacturer");
      const std::string ids = FirstLine(dir + "/idVendor") + ":" + FirstLine(dir + "/idProduct");
      return (maker.empty() ? "" : maker + " ") + product + " (USB " + ids + ")";
    }
    dir = dir.substr(0, dir.find_last_of('/'));
  }
  return "";
}

}  // namespace

std::vector<SerialPort> ListSerialPorts(const std::string &sysRoot, const std::string &devRoot) {
  const std::string byIdDir = devRoot + "/serial/by-id";
  std::vector<std::pair<std::string, std::string>> byId;  // (tty, link name)
  for (const std::string &name : Entries(byIdDir)) {
    byId.emplace_back(LinkBase(byIdDir + "/" + name), byIdDir + "/" + name);
  }
  std::vector<SerialPort> ports;
  const std::string classDir = sysRoot + "/class/tty";
  for (const std::string &tty : Entries(classDir)) {
    const std::string deviceDir = classDir + "/" + tty + "/device";
    if (access(deviceDir.c_str(), F_OK) != 0) continue;  // virtual consoles, ptys
    SerialPort port{devRoot + "/" + tty, {}, "", ""};
    // Newer kernels put serial-core "port" and "ctrl" devices between a UART and its driver.
    char real[PATH_MAX];
    std::string dir = realpath(deviceDir.c_str(), real) != nullptr ? real : deviceDir;
    for (int up = 0; up < 4 && port.driver.empty() && dir.size() > 1; ++up) {
      port.driver = LinkBase(dir + "/driver");
      if (port.driver == "port" || port.driver == "ctrl") port.driver.clear();
      dir = dir.substr(0, dir.find_last_of('/'));
    }
    // A UART the kernel reserved but never found reads as type 0.
    if (FirstLine(classDir + "/" + tty + "/type") == "0") continue;
    for (const auto &[target, link] : byId) {
      if (target == tty) port.byId.push_back(link);
    }
    port.description = UsbDescription(deviceDir);
    ports.push_back(port);
  }
  return ports;
}

}  // namespace veldc::cli
