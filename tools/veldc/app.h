// The tool from its arguments to its exit status.
#pragma once

#include <cstdio>
#include <istream>
#include <string>
#include <vector>

#include "commands.h"

namespace veldc::cli {

// Runs veldc; returns the exit status: 0, the library's error code, or one of the tool's own
// codes (status.h).
int Run(int argc, char **argv);

// One command of a batch, with where it came from for messages ("session.txt:3: ").
struct Step {
  Command command;
  std::string where;
  std::string line;  // the batch line, for --echo
  int number = 0;    // its number in the batch
};

// Reads and parses the whole batch; nothing runs when any line is wrong.
Status ReadBatch(std::istream &in, const std::string &source, std::vector<Step> *steps,
                 int firstLine = 1);

}  // namespace veldc::cli
