// The tool's version: the project's, which is also the library's file version (one source).
#pragma once

#include <string>

namespace veldc::cli {

// "1.0.1.0".
std::string VersionText();
// "veldc 1.0.1.0" and "libveldc 1.0" (the library's own short text) on two lines.
std::string VersionLines();

}  // namespace veldc::cli
