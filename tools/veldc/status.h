// The outcome of one command: the library's error code and message, or the tool's own, with
// the cause behind it and what the user can do.
#pragma once

#include <string>

namespace veldc::cli {

// Exit statuses of the tool's own failures, above every library error code (0..99).
constexpr int kUsageError = 100;      // bad command line or batch line
constexpr int kHostFileError = 101;   // a PC file the tool reads or writes itself
constexpr int kUnknownFailure = 102;  // the library failed without leaving a code
constexpr int kSomeFailed = 103;      // --keep-going: the run went on past failures
constexpr int kInterrupted = 130;     // SIGINT (128 + the signal; SIGHUP 129, SIGTERM 143)

struct Status {
  Status() = default;
  Status(int code, std::string message) : code(code), message(std::move(message)) {}

  int code = 0;
  std::string message;
  std::string detail;  // the cause: the system's error and its device, or what a refusal means
  std::string hint;    // what the user can do about it
  bool retry = false;  // a later try may well succeed (time-outs, no reply, busy)

  bool ok() const { return code == 0; }
  static Status Ok() { return {}; }
  static Status Usage(std::string message) { return {kUsageError, std::move(message)}; }
  static Status HostFile(std::string message) { return {kHostFileError, std::move(message)}; }
  // The library's pending error (GetError) with its cause (GetErrorDetail), after a call
  // returned a failure.
  static Status FromLibrary();
  // Says what a terminal's refusal with `code` means, when it is that one.
  Status &Means(int refusal, const std::string &meaning);
};

// Whether a library error code is worth a retry: the line or the terminal may answer next time.
bool WorthRetry(int code);

// "veldc: error N: message: detail", and the hint on a line of its own.
std::string ErrorLine(const Status &status);

}  // namespace veldc::cli
