// Every service of the library as a command of the tool. The same definitions serve the
// command line and each line of a batch.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

#include "link.h"
#include "report.h"

namespace veldc::cli {

struct Context {
  Session &session;
  Reporter &reporter;
};

struct Command {
  std::string name;
  std::function<Status(Context &, Result *)> run;
};

// Adds every command to `app`; each one parsed is appended to `out` (which must outlive `app`).
void DefineCommands(CLI::App &app, std::vector<Command> *out);

}  // namespace veldc::cli
