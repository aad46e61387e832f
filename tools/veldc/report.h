// What the user sees of each command: plain text on stdout, or one JSON object per command
// (one line each, so a batch gives JSON Lines); errors always also on stderr.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "status.h"

namespace veldc::cli {

struct Result {
  nlohmann::json data = nlohmann::json::object();
  std::string text;  // printed as is in text mode; a newline is added when missing
};

class Reporter {
 public:
  Reporter(bool json, std::FILE *out, std::FILE *err) : json_(json), out_(out), err_(err) {}

  void Success(const std::string &command, const Result &result);
  void Failure(const std::string &command, const Status &status);
  // A remark on stderr ("veldc: ..."), never on stdout.
  void Note(const std::string &text);
  bool Json() const { return json_; }

 private:
  bool json_;
  std::FILE *out_;
  std::FILE *err_;
};

}  // namespace veldc::cli
