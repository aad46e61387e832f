#include "version.h"

#include "veldc.h"
#include "veldc_version.h"

namespace veldc::cli {

std::string VersionText() { return VELDC_VERSION_TEXT; }

std::string VersionLines() {
  char library[VELDC_VERSION_SIZE * 2] = {};
  GetVeldcVersion(library);
  return "veldc " + VersionText() + "\nlibveldc " + library;
}

}  // namespace veldc::cli
