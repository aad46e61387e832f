// The --trace log: every frame the library sends and receives, written as it goes. Serial bytes
// arrive one at a time, so they are gathered into lines; datagrams and driver calls are whole.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace veldc::cli {

// Printable ASCII as is; backslash doubled; CR, LF and TAB as \r \n \t; every other byte as \xNN.
std::string EscapeBytes(const unsigned char *data, int length);
// "54 49 4d 45 0d".
std::string HexBytes(const unsigned char *data, int length);
// One trace record without its time stamp: "port -> TIME\r" or, for a datagram,
// "udp -> DATA #5 TIME\r"; the hex line follows after a newline when `hex` is set.
std::string FormatRecord(int kind, const unsigned char *data, int length, bool hex);

class TraceLog {
 public:
  using Clock = std::chrono::steady_clock;
  // A pause this long inside a serial line splits it, so the times stay true.
  static constexpr std::chrono::milliseconds kGap{100};

  // level 1: text; level 2: text and hex. The log does not own `out`; with a null `out` it
  // writes nothing and only keeps the last line heard. `now` is for tests.
  TraceLog(std::FILE *out, int level, Clock::time_point (*now)() = Clock::now);
  ~TraceLog();
  TraceLog(const TraceLog &) = delete;
  TraceLog &operator=(const TraceLog &) = delete;

  // Registers this log with the library (SetTraceCallback) and removes it again.
  void Attach();
  void Detach();

  void Add(int kind, const unsigned char *data, int length);
  // Writes out a partly gathered serial line.
  void Flush();
  // The last whole line that came in on the port (a modem's "BUSY").
  const std::string &LastLineHeard() const { return lastLine_; }

 private:
  void Write(int kind, const unsigned char *data, int length, const std::string &stamp);
  void Hear(const unsigned char *data, int length);
  static std::string Stamp();

  std::FILE *out_;
  int level_;
  Clock::time_point (*now_)();
  Clock::time_point lastAdded_{};
  int pendingKind_ = 0;
  std::string pending_;
  std::string pendingStamp_;
  bool attached_ = false;
  std::string heard_;
  std::string lastLine_;
};

}  // namespace veldc::cli
