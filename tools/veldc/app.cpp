#include "app.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include "builtin_sim.h"
#include "commands.h"
#include "link.h"
#include "progress.h"
#include "report.h"
#include "text_args.h"
#include "trace_log.h"

namespace veldc::cli {
namespace {

constexpr const char kDescription[] =
    "veldc: drive data-collection terminals from the shell.\n"
    "With no --link, commands go to the built-in simulated terminal.";

constexpr const char kFooter[] =
    "Links (--link):\n"
    "  sim                   the built-in simulated terminal (default; --model picks it)\n"
    "  direct:DEV            one terminal on a COM port (DEV: 1-4 or a path like /dev/ttyUSB0)\n"
    "  network:DEV           a terminal-network interface on a COM port\n"
    "  logon:DEV             a line shared by terminals that log on (addresses 0-31)\n"
    "  kov74:N[:MODE]        the Kov74 driver on COM port N, driver mode 0, 1 or 2\n"
    "  pelo:IP:PORT          a Pelo Ethernet adapter at IP, UDP port PORT\n"
    "  --dial NUMBER with a serial link dials a modem first.\n"
    "\n"
    "Examples:\n"
    "  veldc identify\n"
    "  veldc --model Sorvik list\n"
    "  veldc --link direct:/dev/ttyUSB0 -s 19200 sync-clock\n"
    "  veldc --link pelo:192.168.1.50:2000 -a 3 time\n"
    "  veldc --json params get --select 0-9\n"
    "  veldc --trace --trace --batch session.txt\n"
    "\n"
    "Batch files hold one command per line, as after \"veldc [options]\"; '#' starts a comment.\n"
    "They run in one session, stopping at the first failure.\n"
    "\n"
    "Exit status: 0 on success; the library's error code (1-99) on a failure it reports;\n"
    "100 for bad usage, 101 for a PC file the tool cannot read or write, 102 for a failure\n"
    "the library left no code for.";

struct GlobalOptions {
  std::string link;
  std::string format = "0";
  std::string batch;
  std::string traceFile;
  int trace = 0;
  bool json = false;
  bool noProgress = false;
  bool echo = false;
};

void DefineGlobals(CLI::App &app, GlobalOptions *global, SessionOptions *session) {
  app.add_option("-l,--link", global->link, "Device to use (see Links below; default sim)");
  app.add_option("--model", session->model, "Terminal model of the built-in simulator")
      ->check(CLI::IsMember({"Veld", "Sorvik", "Dulm", "Qyr"}));
  app.add_option("-s,--speed", session->speed, "Line speed (default 9600; Kov74 0: driver's own)");
  app.add_option("-f,--format", global->format,
                 "Character format: 0-4 or 8N1, 7O1, 7E1, 8O1, 8E1 (default 8N1)");
  app.add_option("-a,--address", session->address,
                 "Terminal address (default 0; 1 on network and Kov74 links; 1, else 0 on a Pelo)");
  app.add_option("-p,--password", session->password, "Log-on password (1-5 characters)");
  app.add_option("-t,--timeout", session->timeout, "Reply time-out of serial and Kov74 links, s");
  // Within the library's 16-bit argument, so no value is silently changed on the way.
  app.add_option("--pelo-timeout", session->peloTimeout, "Reply time-out of the Pelo link, s")
      ->check(CLI::Range(-32768, 32767));
  app.add_option("--dial", session->dialNumber, "Dial this number on the line's modem first");
  app.add_option("--dial-init", session->dialInit, "Modem initialisation string");
  app.add_option("--dial-timeout", session->dialTimeout, "Seconds to wait for the carrier");
  app.add_flag("--json", global->json, "One JSON object per command on stdout");
  app.add_flag("-v,--trace", global->trace, "Show every frame sent and received (twice: with hex)");
  app.add_option("--trace-file", global->traceFile, "Write the trace to this file, not stderr");
  app.add_option("-b,--batch", global->batch, "Run the commands of this file ('-': stdin)");
  app.add_flag("--no-progress", global->noProgress, "No progress bar");
  app.add_flag("--echo", global->echo, "Print each batch line before its result (text mode)");
}

Status ParseError(const CLI::ParseError &error) {
  std::string message = error.what();
  // CLI11 calls an unknown command an unexpected argument.
  if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::ExtrasError)) {
    message = "unknown command or extra argument: " + message.substr(message.find(':') + 2);
  }
  return Status::Usage(message + " (try --help)");
}

// Parses one batch line into a command.
Status ParseBatchLine(const std::string &line, std::vector<Command> *commands, bool *empty) {
  std::vector<std::string> words;
  std::string error;
  if (!SplitWords(line, &words, &error)) return Status::Usage(error);
  *empty = words.empty();
  if (words.empty()) return Status::Ok();
  CLI::App app{"Batch command", "veldc"};
  app.require_subcommand(1);
  DefineCommands(app, commands);
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  bool known = false;
  for (CLI::App *sub : app.get_subcommands([](CLI::App *) { return true; })) {
    known = known || sub->check_name(words[0]);
  }
  if (!known && words[0] != "--help" && words[0] != "-h") {
    return Status::Usage("unknown command or extra argument: " + words[0] + " (try --help)");
  }
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp &) {
    std::cout << app.help();
    return Status::Ok();
  } catch (const CLI::ParseError &e) {
    return ParseError(e);
  }
  return Status::Ok();
}

int RunOne(const Command &command, Context &context, TraceLog *trace) {
  Result result;
  Status status = command.run(context, &result);
  if (trace) trace->Flush();
  if (!status.ok()) {
    context.reporter.Failure(command.name, status);
    return status.code;
  }
  context.reporter.Success(command.name, result);
  return 0;
}

int RunBatch(std::istream &in, const std::string &source, bool echo, Context &context,
             TraceLog *trace) {
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::vector<Command> commands;
    bool empty = false;
    Status status = ParseBatchLine(line, &commands, &empty);
    if (echo && !empty && !context.reporter.Json()) {
      std::printf("veldc> %s\n", line.c_str());
      std::fflush(stdout);
    }
    if (!status.ok()) {
      status.message = source + ":" + std::to_string(number) + ": " + status.message;
      context.reporter.Failure("batch", status);
      return status.code;
    }
    for (const Command &command : commands) {
      int code = RunOne(command, context, trace);
      if (code != 0) return code;
    }
  }
  return 0;
}

}  // namespace

int Run(int argc, char **argv) {
  CLI::App app{kDescription, "veldc"};
  app.footer(kFooter);
  app.require_subcommand(0, 1);
  GlobalOptions global;
  SessionOptions sessionOptions;
  DefineGlobals(app, &global, &sessionOptions);
  std::vector<Command> commands;
  DefineCommands(app, &commands);

  // Known before parsing, so that a script asking for JSON gets it for bad usage too.
  bool json = false;
  for (int i = 1; i < argc; ++i) json = json || std::strcmp(argv[i], "--json") == 0;
  Reporter reporter(json, stdout, stderr);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    reporter.Failure("veldc", ParseError(e));
    return kUsageError;
  }
  reporter = Reporter(global.json, stdout, stderr);

  std::string error;
  if (!global.link.empty()) {
    if (!ParseLink(global.link, &sessionOptions.link, &error)) {
      reporter.Failure("veldc", Status::Usage(error));
      return kUsageError;
    }
    sessionOptions.linkGiven = true;
  }
  if (!ParseFormat(global.format, &sessionOptions.format, &error)) {
    reporter.Failure("veldc", Status::Usage(error));
    return kUsageError;
  }
  if (commands.empty() && global.batch.empty()) {
    std::fputs(app.help().c_str(), stderr);
    reporter.Failure("veldc", Status::Usage("no command given (try --help)"));
    return kUsageError;
  }
  if (!commands.empty() && !global.batch.empty()) {
    reporter.Failure("veldc", Status::Usage("give either a command or --batch, not both"));
    return kUsageError;
  }

  std::ifstream batchFile;
  if (!global.batch.empty() && global.batch != "-") {
    batchFile.open(global.batch);
    if (!batchFile) {
      reporter.Failure(
          "veldc", Status::HostFile("cannot read " + global.batch + ": " + std::strerror(errno)));
      return kHostFileError;
    }
  }

  std::FILE *traceOut = stderr;
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> traceFile(nullptr, std::fclose);
  if (!global.traceFile.empty()) {
    traceFile.reset(std::fopen(global.traceFile.c_str(), "w"));
    if (!traceFile) {
      reporter.Failure("veldc", Status::HostFile("cannot write " + global.traceFile + ": " +
                                                 std::strerror(errno)));
      return kHostFileError;
    }
    traceOut = traceFile.get();
    if (global.trace == 0) global.trace = 1;
  }

  sessionOptions.note = [&reporter](const std::string &text) { reporter.Note(text); };

  // The trace and the bar outlive the session, so its close-down traffic is still traced.
  std::unique_ptr<TraceLog> trace;
  ProgressBar progress(stderr);
  Session session(sessionOptions);
  if (global.trace > 0) {
    trace = std::make_unique<TraceLog>(traceOut, global.trace);
    trace->Attach();
  }
  if (!global.noProgress && isatty(STDERR_FILENO)) progress.Attach();

  Context context{session, reporter};
  int code = 0;
  if (global.batch.empty()) {
    code = RunOne(commands.front(), context, trace.get());
  } else if (global.batch == "-") {
    code = RunBatch(std::cin, "stdin", global.echo, context, trace.get());
  } else {
    code = RunBatch(batchFile, global.batch, global.echo, context, trace.get());
  }
  session.Close();
  progress.Detach();
  if (trace) trace->Detach();
  return code;
}

}  // namespace veldc::cli
