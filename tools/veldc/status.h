// The outcome of one command: the library's error code and message, or the tool's own.
#pragma once

#include <string>

namespace veldc::cli {

// Exit statuses of the tool's own failures, above every library error code (0..99).
constexpr int kUsageError = 100;      // bad command line or batch line
constexpr int kHostFileError = 101;   // a PC file the tool reads or writes itself
constexpr int kUnknownFailure = 102;  // the library failed without leaving a code

struct Status {
  int code = 0;
  std::string message;

  bool ok() const { return code == 0; }
  static Status Ok() { return {}; }
  static Status Usage(std::string message) { return {kUsageError, std::move(message)}; }
  static Status HostFile(std::string message) { return {kHostFileError, std::move(message)}; }
  // The library's pending error (GetError), after a call returned a failure.
  static Status FromLibrary();
};

// "veldc: error N: message".
std::string ErrorLine(const Status &status);

}  // namespace veldc::cli
