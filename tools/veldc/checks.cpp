#include "checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace veldc::cli {
namespace {

constexpr int kMaxRecords = 10000;
constexpr size_t kMaxRecord = 127;

bool Digits(const std::string &text, size_t count) {
  return text.size() == count && text.find_first_not_of("0123456789") == std::string::npos;
}

int Number(const std::string &text, size_t at, size_t count) {
  return std::atoi(text.substr(at, count).c_str());
}

std::string Plural(long n, const char *word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

Status CheckAddress(LinkKind kind, int address) {
  int low = 1, high = 254;
  const char *what = "a network or Kov74 link";
  switch (kind) {
    case LinkKind::kSim:
    case LinkKind::kDirect:
      low = high = 0;
      what = "a direct link";
      break;
    case LinkKind::kLogon:
      low = 0, high = 31;
      what = "a log-on line";
      break;
    case LinkKind::kPelo:
      low = 0;
      what = "a Pelo link";
      break;
    default:
      break;
  }
  if (address >= low && address <= high) return Status::Ok();
  const std::string range = low == high ? "only " + std::to_string(low)
                                        : std::to_string(low) + " to " + std::to_string(high);
  return Status::Usage("terminal address " + std::to_string(address) + " is not possible on " +
                       what + " (" + range + ")");
}

Status CheckTime(const std::string &text) {
  if (!Digits(text, 6) || Number(text, 0, 2) > 23 || Number(text, 2, 2) > 59 ||
      Number(text, 4, 2) > 59) {
    return Status::Usage("time \"" + text + "\" is not HHMMSS (000000 to 235959)");
  }
  return Status::Ok();
}

Status CheckDate(const std::string &text) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool ok = Digits(text, 7) && Number(text, 0, 1) <= 6;
  if (ok) {
    const int year = Number(text, 1, 2), month = Number(text, 3, 2), day = Number(text, 5, 2);
    const int length = month == 2 && year % 4 != 0 ? 28
                       : month >= 1 && month <= 12 ? kDays[month - 1]
                                                   : 0;
    ok = day >= 1 && day <= length;
  }
  if (ok) return Status::Ok();
  return Status::Usage("date \"" + text +
                       "\" is not WYYMMDD (weekday 0-6 with 0 Sunday, year, month, day), "
                       "like 6261205");
}

Status CheckPassword(const std::string &text) {
  if (text.size() >= 1 && text.size() <= 5) return Status::Ok();
  return Status::Usage("a password has 1 to 5 characters, not " + std::to_string(text.size()));
}

Status CheckParameter(int number, const std::string &value) {
  if (number < 0 || number > 99) {
    return Status::Usage("parameter " + std::to_string(number) + " does not exist (0 to 99)");
  }
  if (value.size() > 32) {
    return Status::Usage("a parameter value has at most 32 characters, not " +
                         std::to_string(value.size()));
  }
  // On the line a CR or LF would end the command early and start another; a zero cuts it.
  if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    return Status::Usage("a parameter value cannot hold a line end or a zero byte");
  }
  return Status::Ok();
}

Status CheckTerminalName(const std::string &name, bool empty) {
  if (name.size() <= 8 && (empty || !name.empty())) return Status::Ok();
  return Status::Usage("terminal file name \"" + name + "\" must have 1 to 8 characters");
}

int OpenPcFile(const std::string &path, Status *status) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *status = Status::HostFile("cannot read " + path + ": " + std::strerror(errno));
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *status = Status::HostFile("cannot read " + path + ": not a regular file");
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

Status ReadPcFile(const std::string &path, std::string *content) {
  Status status;
  const int fd = OpenPcFile(path, &status);
  if (fd < 0) return status;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status = Status::HostFile("cannot read " + path + ": " + std::strerror(errno));
      break;
    }
    content->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return status;
}

Status ScanDownload(const std::string &path, bool lf, std::string *converted) {
  std::string content;
  Status status = ReadPcFile(path, &content);
  if (!status.ok()) return status;
  const size_t ctrlZ = content.find('\x1A');
  if (ctrlZ != std::string::npos) content.resize(ctrlZ);  // the end of a DOS text file

  long bare = 0;  // LFs not after a CR
  for (size_t i = 0; i < content.size(); ++i) {
    bare += content[i] == '\n' && (i == 0 || content[i - 1] != '\r');
  }
  if (lf && bare > 0) {
    std::string crlf;
    for (size_t i = 0; i < content.size(); ++i) {
      if (content[i] == '\n' && (i == 0 || content[i - 1] != '\r')) crlf += '\r';
      crlf += content[i];
    }
    content.swap(crlf);
    *converted = content;
  }

  // Records as the library cuts them: at CR, with LFs skipped at a record's start (the LF of
  // CR LF); an LF inside a record would be sent as a character of it.
  long records = 0, line = 1;
  size_t length = 0;
  for (size_t i = 0; i < content.size(); ++i) {
    const char c = content[i];
    if (c == '\r') {
      ++records;
      length = 0;
      ++line;
      if (i + 1 < content.size() && content[i + 1] == '\n') ++i;
    } else if (c == '\n' && length == 0) {
      ++line;
    } else if (c == '\n') {
      return Status::HostFile(
          path + ": line " + std::to_string(line) + " ends in LF only (" +
          (content.find('\r') != std::string::npos ? "mixed line ends" : "a Unix text file") +
          "); give --lf to take LF as a line end");
    } else if (++length > kMaxRecord) {
      return Status::HostFile(path + ": line " + std::to_string(line) +
                              " is longer than the 127 characters a record holds");
    }
  }
  if (length > 0) ++records;
  if (records > kMaxRecords) {
    return Status::HostFile(path + ": " + Plural(records, "record") +
                            "; a terminal file takes at most 10000");
  }
  return Status::Ok();
}

}  // namespace veldc::cli
