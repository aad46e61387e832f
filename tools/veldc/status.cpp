#include "status.h"

#include "veldc.h"

namespace veldc::cli {

Status Status::FromLibrary() {
  // Big enough for any message the library leaves, with room to spare.
  char text[VELDC_ERROR_TEXT_SIZE * 2] = {};
  int code = GetError(text);
  if (code <= 0) return {kUnknownFailure, "the library reported a failure without an error code"};
  return {code, text};
}

std::string ErrorLine(const Status &status) {
  return "veldc: error " + std::to_string(status.code) + ": " + status.message;
}

}  // namespace veldc::cli
