#include "param_file.h"

#include <cstdio>

#include "text_args.h"
#include "trace_log.h"

namespace veldc::cli {

bool ReadParamFile(std::istream &in, std::map<int, std::string> *values, std::string *error) {
  values->clear();
  std::string line;
  for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    size_t equals = line.find('=');
    std::string where = "line " + std::to_string(lineNumber) + ": ";
    if (equals == std::string::npos) {
      *error = where + "expected NN=value";
      return false;
    }
    std::string number = line.substr(first, equals - first);
    while (!number.empty() && (number.back() == ' ' || number.back() == '\t')) number.pop_back();
    int n = 0;
    if (!ParseInt(number, 0, 99, &n)) {
      // Escaped: the file may come from anywhere, the message goes to the user's terminal.
      const auto *bytes = reinterpret_cast<const unsigned char *>(number.data());
      *error = where + "parameter number must be 0 to 99, not \"" +
               EscapeBytes(bytes, static_cast<int>(number.size())) + "\"";
      return false;
    }
    if (!values->emplace(n, line.substr(equals + 1)).second) {
      *error = where + "parameter " + std::to_string(n) + " is given twice";
      return false;
    }
  }
  if (in.bad()) {
    *error = "read failed";
    return false;
  }
  return true;
}

std::string WriteParamFile(const std::map<int, std::string> &values) {
  std::string out;
  for (const auto &[number, value] : values) {
    char key[8];
    std::snprintf(key, sizeof key, "%02d=", number);
    out += key + value + "\n";
  }
  return out;
}

}  // namespace veldc::cli
