#include "status.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <string>

#include "veldc.h"

namespace veldc::cli {
namespace {

constexpr int kOpenPort = 22;
constexpr int kReceiveMessage = 78;

// Who holds `device` open, as /proc tells (only our own processes unless we are root).
std::string Holder(const std::string &device) {
  char wanted[PATH_MAX];
  if (realpath(device.c_str(), wanted) == nullptr) return "";
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return "";
  std::string found;
  for (dirent *entry = readdir(proc); entry != nullptr && found.empty(); entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string fds = "/proc/" + pid + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr) continue;
    for (dirent *fd = readdir(dir); fd != nullptr; fd = readdir(dir)) {
      char target[PATH_MAX];
      const ssize_t n = readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      if (wanted != std::string(target)) continue;
      std::string name;
      std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
      found = name + " (pid " + pid + ")";
      break;
    }
    closedir(dir);
  }
  closedir(proc);
  return found;
}

// What the user can do about the system's error `number` on `detail`'s device.
std::string HintFor(int code, int number, const std::string &detail) {
  const std::string device = detail.substr(0, detail.find(": "));
  switch (number) {
    case EACCES:
    case EPERM:
      if (code == kOpenPort) {
        return "your user may not open " + device +
               ": add it to the group that owns the device (usually dialout: sudo usermod -aG "
               "dialout $USER) and log in again";
      }
      return "check the permissions of " + device;
    case EBUSY: {
      const std::string holder = Holder(device);
      return device + " is in use" + (holder.empty() ? "" : " by " + holder) +
             ": close that program first";
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return code == kOpenPort ? "no such device: veldc ports lists the serial devices there are"
                               : "";
    case ENOTTY:
      return "not a serial port: veldc ports lists the serial devices there are";
    case ECONNREFUSED:
      return "nothing answers there: check that the adapter is on and its IP address and UDP port";
    default:
      return "";
  }
}

}  // namespace

bool WorthRetry(int code) {
  switch (code) {
    case 13:  // Kov74 port not available
    case 35:  // bad end of record: noise on the line
    case 40:  // no reply
    case 42:  // cannot send
    case 46:  // no reply to the identification
    case 47:  // cannot talk with the terminal
    case 70:  // a line error
    case 79:  // WinSock time-out
    case 83:  // the modem's dial failed (busy, no carrier)
    case 88:  // cannot receive
    case 97:  // connection closed
      return true;
    default:
      return false;
  }
}

Status Status::FromLibrary() {
  // Big enough for any message the library leaves, with room to spare.
  char text[VELDC_ERROR_TEXT_SIZE * 2] = {};
  int code = GetError(text);
  if (code <= 0) return {kUnknownFailure, "the library reported a failure without an error code"};
  Status status{code, text};
  char detail[512] = {};
  const int number = GetErrorDetail(detail, sizeof detail);
  status.detail = detail;
  status.retry = WorthRetry(code);
  if (number > 0) {
    status.hint = HintFor(code, number, status.detail);
    if (number == EBUSY) status.retry = true;
  } else if (code == 40 || code == 46) {
    status.hint = "no reply: check the terminal's address, the line speed and the cable";
  } else if (code == 79) {
    status.hint =
        "no answer over UDP: check that the adapter is on, its IP address and UDP port, "
        "and the terminal's address";
  } else if (code == kReceiveMessage && std::string(text).find("10054") != std::string::npos) {
    status.hint = HintFor(code, ECONNREFUSED, "");
  }
  return status;
}

Status &Status::Means(int refusal, const std::string &meaning) {
  if (code == refusal && detail.empty()) detail = meaning;
  return *this;
}

std::string ErrorLine(const Status &status) {
  std::string line = "veldc: error " + std::to_string(status.code) + ": " + status.message;
  if (!status.detail.empty()) line += ": " + status.detail;
  if (!status.hint.empty()) line += "\nveldc: hint: " + status.hint;
  return line;
}

}  // namespace veldc::cli
