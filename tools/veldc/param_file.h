// The file of `params get --out` and `params set`: one "NN=value" line per parameter, blank
// lines and lines starting with '#' ignored. The value is everything after the '=' and may be
// empty or hold blanks.
#pragma once

#include <istream>
#include <map>
#include <string>

namespace veldc::cli {

// False with `error` naming the line for a line without '=', a bad number or a number given
// twice.
bool ReadParamFile(std::istream &in, std::map<int, std::string> *values, std::string *error);
std::string WriteParamFile(const std::map<int, std::string> &values);

}  // namespace veldc::cli
