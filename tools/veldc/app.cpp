#include "app.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "builtin_sim.h"
#include "checks.h"
#include "commands.h"
#include "interrupt.h"
#include "link.h"
#include "progress.h"
#include "report.h"
#include "text_args.h"
#include "trace_log.h"
#include "version.h"

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
    "The whole batch is read and checked before its first command runs; it runs in one\n"
    "session and stops at the first failure unless --keep-going is given. With several\n"
    "addresses (-a 1,3,12 or -a 1-31) the command or batch runs on each terminal in turn.\n"
    "Ctrl-C (SIGINT), SIGTERM or SIGHUP ends the running command as its own failure would\n"
    "(a download is ended and its terminal file deleted, a partial upload deleted, a dialled\n"
    "line hung up); a second Ctrl-C ends veldc at once.\n"
    "\n"
    "Many devices at once, every collected record stored exactly once: veldc fleet --help.\n"
    "\n"
    "Exit status, and whether a retry may help:\n"
    "  0            success\n"
    "  13 35 40 42 46 47 70 79 83 88 97\n"
    "               the library's code for a busy driver port, line noise, no reply, a\n"
    "               failed send, no reply to ID, no talk, a line error, a Pelo time-out,\n"
    "               a modem that did not connect (busy), a failed receive, a closed\n"
    "               connection: retry\n"
    "  22           the port did not open: retry when busy, not when missing or refused\n"
    "  61           cancelled (interrupted): no retry\n"
    "  other 1-99   the library's code (refusals, wrong parameters, PC file errors): no\n"
    "  100          bad usage, found before the line is touched: no\n"
    "  101          a PC file veldc cannot read or write, or refuses: no\n"
    "  102          the library failed without leaving a code: no\n"
    "  103          --keep-going went past failures (see the summary): as each failure\n"
    "  129 130 143  interrupted by SIGHUP, SIGINT, SIGTERM: no";

struct GlobalOptions {
  std::string link;
  std::string format = "0";
  std::string address;
  std::string batch;
  std::string traceFile;
  int trace = 0;
  bool json = false;
  bool noProgress = false;
  bool echo = false;
  bool keepGoing = false;
  bool stream = false;
};

void DefineGlobals(CLI::App &app, GlobalOptions *global, SessionOptions *session) {
  app.add_option("-l,--link", global->link, "Device to use (see Links below; default sim)");
  app.add_option("--model", session->model, "Terminal model of the built-in simulator")
      ->check(CLI::IsMember({"Veld", "Sorvik", "Dulm", "Qyr"}));
  app.add_option("-s,--speed", session->speed, "Line speed (default 9600; Kov74 0: driver's own)");
  app.add_option("-f,--format", global->format,
                 "Character format: 0-4 or 8N1, 7O1, 7E1, 8O1, 8E1 (default 8N1)");
  app.add_option("-a,--address", global->address,
                 "Terminal address, or several: 1,3,12 or 1-31 (default 0; 1 on network and "
                 "Kov74 links; 1, else 0 on a Pelo)");
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
  app.add_option("--trace-file", global->traceFile, "Add the trace to this file, not stderr");
  app.add_option("-b,--batch", global->batch, "Run the commands of this file ('-': stdin)");
  app.add_flag("--stream", global->stream,
               "With --batch -: run each line as soon as it is read, for a program driving "
               "veldc over a pipe (a line's mistakes are then found when it comes)");
  app.add_flag("-k,--keep-going", global->keepGoing,
               "Go on past failures (batch lines, terminals) and end with a summary");
  app.add_flag("--no-progress", global->noProgress, "No progress bar");
  app.add_flag("--echo", global->echo, "Print each batch line before its result (text mode)");
  app.set_version_flag("--version", VersionLines(), "Show the tool's and the library's versions");
}

Status ParseError(const CLI::ParseError &error) {
  std::string message = error.what();
  // CLI11 calls an unknown command an unexpected argument, and lists extra ones last first.
  if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::ExtrasError)) {
    std::string extras = message.substr(message.find(':') + 2);
    std::vector<std::string> words;
    std::string ignored;
    SplitWords(extras, &words, &ignored);
    if (words.size() > 1) {
      extras.clear();
      for (auto w = words.rbegin(); w != words.rend(); ++w)
        extras += (extras.empty() ? "" : " ") + *w;
    }
    message = "unknown command or extra argument: " + extras;
  }
  return Status::Usage(message + " (try --help)");
}

// Parses one batch line into commands.
Status ParseBatchLine(const std::string &line, std::vector<Command> *commands, bool *empty) {
  std::vector<std::string> words;
  std::string error;
  // The library takes zero-terminated texts: a zero byte would silently cut a name or command.
  if (line.find('\0') != std::string::npos) return Status::Usage("a zero byte in the line");
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

}  // namespace

Status ReadBatch(std::istream &in, const std::string &source, std::vector<Step> *steps,
                 int firstLine) {
  std::string line;
  for (int number = firstLine; std::getline(in, line); ++number) {
    std::vector<Command> commands;
    bool empty = false;
    const std::string where = source + ":" + std::to_string(number) + ": ";
    Status status = ParseBatchLine(line, &commands, &empty);
    if (!status.ok()) {
      status.message = where + status.message;
      return status;
    }
    for (size_t i = 0; i < commands.size(); ++i) {
      steps->push_back({commands[i], where, i == 0 ? line : "", number});
    }
  }
  return Status::Ok();
}

namespace {

// "5", "1,3,12", "1-31": the terminals of the run, each checked against the link kind.
Status ParseAddresses(const std::string &text, LinkKind kind, std::vector<int> *addresses) {
  std::stringstream parts(text);
  for (std::string part; std::getline(parts, part, ',');) {
    const size_t dash = part.find('-', 1);
    int first = 0, last = 0;
    if (!ParseInt(part.substr(0, dash), 0, 99999, &first) ||
        !ParseInt(dash == std::string::npos ? part.substr(0, dash) : part.substr(dash + 1), 0,
                  99999, &last) ||
        last < first) {
      return Status::Usage("--address \"" + text +
                           "\" is not an address, a list like 1,3,12 or a "
                           "range like 1-31");
    }
    for (int a = first; a <= last; ++a) {
      Status status = CheckAddress(kind, a);
      if (!status.ok()) return status;
      addresses->push_back(a);
    }
  }
  if (addresses->empty()) return Status::Usage("--address needs a terminal address");
  return Status::Ok();
}

struct Failed {
  int address;
  std::string command;
  Status status;
};

class Runner {
 public:
  Runner(Context &context, bool echo, bool keepGoing)
      : context_(context), echo_(echo), keepGoing_(keepGoing) {}

  // Runs the steps on the session's terminal; false when the run must stop.
  bool Run(const std::vector<Step> &steps) {
    for (const Step &step : steps) {
      if (echo_ && !step.line.empty() && !context_.reporter.Json()) {
        std::printf("veldc> %s\n", step.line.c_str());
        std::fflush(stdout);
      }
      ++count_;
      context_.reporter.Begin(context_.session.Address());
      context_.reporter.SetLine(step.number, step.where);
      Result result;
      Status status = step.command.run(context_, &result);
      if (context_.progress != nullptr) context_.progress->Settle(status.ok());
      context_.reporter.SetAddress(context_.session.Address());
      if (status.ok()) {
        context_.reporter.Success(step.command.name, result);
      } else {
        context_.reporter.Failure(step.command.name, status);
        failures_.push_back({context_.session.Address(), step.command.name, status});
      }
      if (Interrupted() != 0) return false;
      if (!status.ok() && !keepGoing_) return false;
    }
    return true;
  }

  // The exit status, after the summary of a run that went on past failures.
  int Finish() {
    if (failures_.empty()) return 0;
    if (!keepGoing_ || Interrupted() != 0) return failures_.back().status.code;
    std::string text =
        std::to_string(failures_.size()) + " of " + std::to_string(count_) + " commands failed:";
    nlohmann::json list = nlohmann::json::array();
    for (const Failed &f : failures_) {
      text += "\n  terminal " + std::to_string(f.address) + ": " + f.command + ": error " +
              std::to_string(f.status.code) + ": " + f.status.message;
      list.push_back({{"address", f.address},
                      {"command", f.command},
                      {"code", f.status.code},
                      {"message", f.status.message}});
    }
    context_.reporter.SetLine(0, "");
    context_.reporter.Note(text);
    if (context_.reporter.Json()) {
      Result result;
      const std::string failed =
          std::to_string(failures_.size()) + " of " + std::to_string(count_) + " commands failed";
      result.data = {{"total", count_},
                     {"failed", failures_.size()},
                     {"failures", list},
                     {"error", {{"code", kSomeFailed}, {"message", failed}}}};
      context_.reporter.SetAddress(-1);
      context_.reporter.Summary(result);
    }
    return kSomeFailed;
  }

 private:
  Context &context_;
  bool echo_;
  bool keepGoing_;
  int count_ = 0;
  std::vector<Failed> failures_;
};

// Runs each line of `in` as it comes; returns the status of a line refused before it ran, or 0.
int RunStream(std::istream &in, const LinkSpec &link, Reporter &reporter, Runner &runner) {
  std::string line;
  for (int number = 1; Interrupted() == 0 && std::getline(in, line); ++number) {
    std::vector<Step> steps;
    std::istringstream one(line);
    Status status = ReadBatch(one, "stdin", &steps, number);
    for (const Step &step : steps) {
      if (status.ok() && step.command.check) {
        status = step.command.check(link);
        if (!status.ok()) status.message = step.where + status.message;
      }
    }
    if (!status.ok()) {
      reporter.Failure("batch", status);
      return status.code;
    }
    if (!runner.Run(steps)) return 0;
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
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    reporter.Failure("veldc", ParseError(e));
    return kUsageError;
  }
  reporter = Reporter(global.json, stdout, stderr);
  auto refuse = [&reporter](const Status &status) {
    reporter.Failure("veldc", status);
    return status.code;
  };

  std::string error;
  if (!global.link.empty()) {
    if (!ParseLink(global.link, &sessionOptions.link, &error)) return refuse(Status::Usage(error));
    sessionOptions.linkGiven = true;
    reporter.SetLink(global.link);
  }
  if (!ParseFormat(global.format, &sessionOptions.format, &error)) {
    return refuse(Status::Usage(error));
  }
  std::vector<int> addresses;
  if (!global.address.empty()) {
    Status status = ParseAddresses(global.address, sessionOptions.link.kind, &addresses);
    if (!status.ok()) return refuse(status);
    sessionOptions.address = addresses.front();
  }
  if (!sessionOptions.password.empty()) {
    Status status = CheckPassword(sessionOptions.password);
    if (!status.ok()) return refuse(status);
  }
  if (commands.empty() && global.batch.empty()) {
    std::fputs(app.help().c_str(), stderr);
    return refuse(Status::Usage("no command given (try --help)"));
  }
  if (!commands.empty() && !global.batch.empty()) {
    return refuse(Status::Usage("give either a command or --batch, not both"));
  }

  if (global.stream && global.batch != "-") {
    return refuse(Status::Usage("--stream goes with --batch -"));
  }
  std::vector<Step> steps;
  if (!commands.empty()) steps.push_back({commands.front(), "", ""});
  if (global.batch == "-" && !global.stream) {
    Status status = ReadBatch(std::cin, "stdin", &steps);
    if (!status.ok()) return refuse(status);
  } else if (!global.batch.empty() && global.batch != "-") {
    std::string content;
    Status status = ReadPcFile(global.batch, &content);
    if (!status.ok()) return refuse(status);
    std::istringstream in(content);
    status = ReadBatch(in, global.batch, &steps);
    if (!status.ok()) return refuse(status);
  }
  // Every check before the first command touches the line.
  for (const Step &step : steps) {
    if (!step.command.check) continue;
    Status status = step.command.check(sessionOptions.link);
    if (!status.ok()) {
      status.message = step.where + status.message;
      return refuse(status);
    }
  }

  std::FILE *traceOut = global.trace > 0 ? stderr : nullptr;
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> traceFile(nullptr, std::fclose);
  if (!global.traceFile.empty()) {
    // Added to, so a trace kept across runs is not lost.
    traceFile.reset(std::fopen(global.traceFile.c_str(), "a"));
    if (!traceFile) {
      return refuse(
          Status::HostFile("cannot write " + global.traceFile + ": " + std::strerror(errno)));
    }
    traceOut = traceFile.get();
    if (global.trace == 0) global.trace = 1;
  }

  sessionOptions.note = [&reporter](const std::string &text) { reporter.Note(text); };

  // The trace and the bar outlive the session, so its close-down traffic is still traced.
  TraceLog trace(traceOut, global.trace);
  sessionOptions.lastLineHeard = [&trace] { return trace.LastLineHeard(); };
  ProgressBar progress(stderr);
  Session session(sessionOptions);
  trace.Attach();
  if (!global.noProgress && isatty(STDERR_FILENO)) progress.Attach();
  CatchInterrupts();

  Context context{session, reporter, &trace, &progress};
  Runner runner(context, global.echo, global.keepGoing);
  int refused = 0;
  if (global.stream) {
    refused = RunStream(std::cin, sessionOptions.link, reporter, runner);
  } else if (addresses.size() <= 1) {
    runner.Run(steps);
  } else {
    for (int address : addresses) {
      session.SetAddress(address);
      if (!runner.Run(steps) && (!global.keepGoing || Interrupted() != 0)) break;
    }
  }
  trace.Flush();
  int code = refused != 0 ? refused : runner.Finish();
  session.Close();
  progress.Detach();
  trace.Detach();
  if (Interrupted() != 0) {
    reporter.Note(std::string("interrupted (") + SignalName(Interrupted()) + ")");
    return 128 + Interrupted();
  }
  return code;
}

}  // namespace veldc::cli
