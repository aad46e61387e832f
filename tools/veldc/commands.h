// Every service of the library as a command of the tool. The same definitions serve the
// command line and each line of a batch.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

#include "link.h"
#include "progress.h"
#include "report.h"
#include "trace_log.h"

namespace veldc::cli {

struct Context {
  Session &session;
  Reporter &reporter;
  const TraceLog *trace = nullptr;  // the line tap, always there in a run
  ProgressBar *progress = nullptr;
};

struct Command {
  std::string name;
  std::function<Status(Context &, Result *)> run;
  // What can be judged before the line is touched; null when nothing can.
  std::function<Status(const LinkSpec &)> check;
};

// Adds every command to `app`; each one parsed is appended to `out` (which must outlive `app`).
void DefineCommands(CLI::App &app, std::vector<Command> *out);

}  // namespace veldc::cli
