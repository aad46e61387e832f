#include "report.h"

#include <ctime>

#include "trace_log.h"

namespace veldc::cli {

nlohmann::json TerminalText(const std::string &bytes) {
  std::string utf8;
  utf8.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

std::string Printable(const std::string &bytes) {
  return EscapeBytes(reinterpret_cast<const unsigned char *>(bytes.data()),
                     static_cast<int>(bytes.size()));
}

Reporter::Reporter(bool json, std::FILE *out, std::FILE *err) : json_(json), out_(out), err_(err) {
  Begin(-1);
}

void Reporter::Begin(int address) {
  address_ = address;
  start_ = std::chrono::system_clock::now();
  started_ = std::chrono::steady_clock::now();
}

std::string UtcText(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

nlohmann::json Reporter::Envelope(const std::string &command, bool ok) const {
  using namespace std::chrono;
  const std::string start = UtcText(start_);
  const double took = duration<double>(steady_clock::now() - started_).count();
  return {{"command", command},
          {"ok", ok},
          {"link", link_},
          {"address", address_ >= 0 ? nlohmann::json(address_) : nlohmann::json(nullptr)},
          {"start", start},
          {"duration", static_cast<double>(static_cast<int64_t>(took * 1000 + 0.5)) / 1000}};
}

nlohmann::json Reporter::Line(const std::string &command, bool ok) const {
  nlohmann::json line = Envelope(command, ok);
  if (line_ > 0) line["line"] = line_;
  return line;
}

void Reporter::Emit(const nlohmann::json &line) {
  // Terminal texts arrive here already decoded; only the user's own arguments can hold bytes
  // that are not UTF-8, and those are replaced rather than failing.
  std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void Reporter::Success(const std::string &command, const Result &result) {
  if (json_) {
    nlohmann::json line = Line(command, true);
    line.update(result.data);
    Emit(line);
  } else if (!result.text.empty()) {
    std::fputs(result.text.c_str(), out_);
    if (result.text.back() != '\n') std::fputc('\n', out_);
  }
  std::fflush(out_);
}

void Reporter::Failure(const std::string &command, const Status &status) {
  if (json_) {
    nlohmann::json line = Line(command, false);
    line["error"] = {{"code", status.code}, {"message", status.message}};
    if (!status.detail.empty()) line["error"]["detail"] = status.detail;
    if (!status.hint.empty()) line["error"]["hint"] = status.hint;
    if (status.retry) line["error"]["retry"] = true;
    Emit(line);
  }
  Status shown = status;
  shown.message = where_ + status.message;
  std::fprintf(err_, "%s\n", ErrorLine(shown).c_str());
  std::fflush(err_);
}

void Reporter::Summary(const Result &result) {
  nlohmann::json line = Envelope("summary", false);
  line.update(result.data);
  Emit(line);
}

void Reporter::Note(const std::string &text) {
  std::fprintf(err_, "veldc: %s\n", text.c_str());
  std::fflush(err_);
}

}  // namespace veldc::cli
