#include "report.h"

namespace veldc::cli {

void Reporter::Success(const std::string &command, const Result &result) {
  if (json_) {
    nlohmann::json line = {{"command", command}, {"ok", true}};
    line.update(result.data);
    // Terminal texts are 8-bit; bytes that are not UTF-8 are replaced rather than failing.
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fprintf(out_, "%s\n", text.c_str());
  } else if (!result.text.empty()) {
    std::fputs(result.text.c_str(), out_);
    if (result.text.back() != '\n') std::fputc('\n', out_);
  }
  std::fflush(out_);
}

void Reporter::Failure(const std::string &command, const Status &status) {
  if (json_) {
    nlohmann::json line = {{"command", command},
                           {"ok", false},
                           {"error", {{"code", status.code}, {"message", status.message}}}};
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
  }
  std::fprintf(err_, "%s\n", ErrorLine(status).c_str());
  std::fflush(err_);
}

void Reporter::Note(const std::string &text) {
  std::fprintf(err_, "veldc: %s\n", text.c_str());
  std::fflush(err_);
}

}  // namespace veldc::cli
