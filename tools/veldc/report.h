// What the user sees of each command: plain text on stdout, or one JSON object per command
// (one line each, so a batch gives JSON Lines); errors always also on stderr. The JSON shape is
// written down in veldc-output.schema.json.
#pragma once

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "status.h"

namespace veldc::cli {

struct Result {
  nlohmann::json data = nlohmann::json::object();
  std::string text;  // printed as is in text mode; a newline is added when missing
};

// An instant as ISO 8601 UTC with milliseconds: 2026-12-06T16:05:01.123Z.
std::string UtcText(std::chrono::system_clock::time_point when);

// A terminal's text for JSON. Terminals use an 8-bit code page; each byte is read as the ISO
// 8859-1 character of the same number, so every byte (0x80-0xFF included) survives and encoding
// the string back to Latin-1 gives the terminal's bytes exactly.
nlohmann::json TerminalText(const std::string &bytes);

// A terminal's text for the user's screen: control bytes and bytes above 0x7E escaped, so no
// sequence a terminal file holds can act on the user's terminal.
std::string Printable(const std::string &bytes);

class Reporter {
 public:
  Reporter(bool json, std::FILE *out, std::FILE *err);

  // The link every object names ("sim", "direct:/dev/ttyUSB0", "pelo:IP:PORT").
  void SetLink(std::string link) { link_ = std::move(link); }
  // A command starts, on the terminal at `address` (-1: none yet).
  void Begin(int address);
  void SetAddress(int address) { address_ = address; }
  // The batch line a command came from ("session.txt:3: "); 0 and "" outside a batch.
  void SetLine(int line, std::string where) {
    line_ = line;
    where_ = std::move(where);
  }

  void Success(const std::string &command, const Result &result);
  void Failure(const std::string &command, const Status &status);
  // The last object of a --keep-going run that had failures (JSON only).
  void Summary(const Result &result);
  // A remark on stderr ("veldc: ..."), never on stdout.
  void Note(const std::string &text);
  bool Json() const { return json_; }

 private:
  nlohmann::json Envelope(const std::string &command, bool ok) const;
  // The envelope and, in a batch, the line number.
  nlohmann::json Line(const std::string &command, bool ok) const;
  void Emit(const nlohmann::json &line);

  bool json_;
  std::FILE *out_;
  std::FILE *err_;
  std::string link_ = "sim";
  int address_ = -1;
  int line_ = 0;
  std::string where_;
  std::chrono::system_clock::time_point start_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace veldc::cli
