#include "commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "param_file.h"
#include "text_args.h"
#include "trace_log.h"
#include "veldc.h"

namespace veldc::cli {
namespace {

using nlohmann::json;

constexpr int kNoReply = 40;  // the library's "No reply from terminal"

// A writable copy: the library upper-cases terminal file names in place.
std::vector<char> Writable(const std::string &text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  return buffer;
}

std::string Printable(const std::string &text) {
  return EscapeBytes(reinterpret_cast<const unsigned char *>(text.data()),
                     static_cast<int>(text.size()));
}

Status ReadableFile(const std::string &path) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return Status::HostFile("cannot read " + path + ": " + std::strerror(errno));
  std::fclose(file);
  return Status::Ok();
}

Status UnescapeArg(const std::string &text, std::string *out) {
  std::string error;
  if (!Unescape(text, out, &error)) return Status::Usage(error);
  return Status::Ok();
}

// The terminal's model as named in its identification reply.
std::string ModelIn(const std::string &reply) {
  for (const char *model : {"Sorvik", "Veld", "Dulm", "Qyr"}) {
    if (reply.find(model) != std::string::npos) return model;
  }
  return "";
}

// A terminal file name made from a PC path: the base name without its extension, upper case,
// at most 8 characters.
std::string TerminalNameFor(const std::string &path) {
  size_t slash = path.find_last_of("/\\");
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  base = base.substr(0, base.find('.'));
  if (base.size() > 8) base.resize(8);
  for (char &c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return base;
}

CLI::App *AddCommand(CLI::App &app, std::vector<Command> *out, const std::string &name,
                     const std::string &description, const std::string &examples,
                     std::function<Status(Context &, Result *)> run) {
  CLI::App *sub = app.add_subcommand(name, description);
  sub->footer("Examples:\n" + examples);
  sub->callback([out, name, run] { out->push_back({name, run}); });
  return sub;
}

// ---- Selection ----

Status Identify(Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  char reply[VELDC_REPLY_SIZE] = {};
  if (SendCommand("%XI", reply) != 0) return Status::FromLibrary();
  std::string model = ModelIn(reply);
  int address = context.session.Address();
  result->data = {{"address", address}, {"model", model}, {"reply", reply}};
  result->text = "terminal " + std::to_string(address) + ": " +
                 (model.empty() ? "unknown model" : model) + " (" + Printable(reply) + ")";
  return Status::Ok();
}

// ---- Clock ----

Status ClockValue(Context &context, Result *result, const std::string &key,
                  const std::string &value, int (*get)(char *), int (*set)(const char *)) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  if (!value.empty()) {
    if (set(value.c_str()) != 0) return Status::FromLibrary();
    result->data = {{key, value}, {"set", true}};
    result->text = key + " set to " + value;
    return Status::Ok();
  }
  char text[VELDC_REPLY_SIZE] = {};
  if (get(text) != 0) return Status::FromLibrary();
  result->data = {{key, text}};
  result->text = text;
  return Status::Ok();
}

Status SyncClock(Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char time[40];
  char date[48];
  std::snprintf(time, sizeof time, "%02d%02d%02d", local.tm_hour, local.tm_min, local.tm_sec);
  // The terminal's week starts on Sunday (0), as the PC's does.
  std::snprintf(date, sizeof date, "%d%02d%02d%02d", local.tm_wday, local.tm_year % 100,
                local.tm_mon + 1, local.tm_mday);
  if (SetTime(time) != 0 || SetDate(date) != 0) return Status::FromLibrary();
  result->data = {{"time", time}, {"date", date}};
  result->text = std::string("clock set to ") + time + ", date " + date;
  return Status::Ok();
}

// ---- Parameters ----

struct ParamArgs {
  int number = 0;
  std::vector<std::string> value;
  bool clear = false;
};

Status Param(const ParamArgs &args, Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  if (!args.value.empty() || args.clear) {
    std::string value = args.clear ? "" : args.value[0];
    if (SetParameter(args.number, value.c_str()) != 0) return Status::FromLibrary();
    result->data = {{"number", args.number}, {"value", value}, {"set", true}};
    result->text = "parameter " + std::to_string(args.number) + " set";
    return Status::Ok();
  }
  char value[VELDC_REPLY_SIZE] = {};
  if (GetParameter(args.number, value) != 0) return Status::FromLibrary();
  result->data = {{"number", args.number}, {"value", value}};
  result->text = value;
  return Status::Ok();
}

// A block call failed at parameter result + 100: say which.
Status BlockFailure(int rc) {
  Status status = Status::FromLibrary();
  status.message += " (parameter " + std::to_string(rc + 100) + ")";
  return status;
}

struct ParamsArgs {
  std::string select = "all";
  std::string file;
};

Status ParamsGet(const ParamsArgs &args, Context &context, Result *result) {
  std::vector<int> selection;
  std::string error;
  if (!ParseSelection(args.select, &selection, &error)) return Status::Usage(error);
  std::ofstream out;
  if (!args.file.empty()) {
    // Opened before the terminal is asked, so a bad path costs no traffic.
    out.open(args.file, std::ios::binary | std::ios::trunc);
    if (!out) return Status::HostFile("cannot write " + args.file + ": " + std::strerror(errno));
  }
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  std::vector<char> block(VELDC_PARAM_COUNT * VELDC_PARAM_SLOT, '\0');
  int rc = GetAllParams(selection.data(), block.data());
  if (rc != 0) return BlockFailure(rc);
  std::map<int, std::string> values;
  for (int i = 0; i < VELDC_PARAM_COUNT; ++i) {
    if (!selection[static_cast<size_t>(i)]) continue;
    const char *slot = block.data() + i * VELDC_PARAM_SLOT;
    values[i] = std::string(slot, strnlen(slot, VELDC_PARAM_SLOT));
  }
  json params = json::object();
  for (const auto &[number, value] : values) {
    char key[4];
    std::snprintf(key, sizeof key, "%02d", number);
    params[key] = value;
  }
  result->data = {{"params", params}};
  std::string text = WriteParamFile(values);
  if (args.file.empty()) {
    result->text = text;
    return Status::Ok();
  }
  out << text;
  out.close();
  if (!out) return Status::HostFile("cannot write " + args.file);
  result->data["file"] = args.file;
  result->text = std::to_string(values.size()) + " parameters written to " + args.file;
  return Status::Ok();
}

Status ParamsSet(const ParamsArgs &args, Context &context, Result *result) {
  std::ifstream in(args.file, std::ios::binary);
  if (!in) return Status::HostFile("cannot read " + args.file + ": " + std::strerror(errno));
  std::map<int, std::string> values;
  std::string error;
  if (!ReadParamFile(in, &values, &error)) return Status::HostFile(args.file + ": " + error);
  Status status = context.session.Selected();
  if (!status.ok()) return status;

  // One block for the values that fit its 17-byte slots; longer ones one by one.
  std::vector<int> selection(VELDC_PARAM_COUNT, 0);
  std::vector<char> block(VELDC_PARAM_COUNT * VELDC_PARAM_SLOT, '\0');
  std::map<int, std::string> longer;
  for (const auto &[number, value] : values) {
    if (value.size() >= VELDC_PARAM_SLOT) {
      longer[number] = value;
      continue;
    }
    selection[static_cast<size_t>(number)] = 1;
    std::memcpy(block.data() + number * VELDC_PARAM_SLOT, value.c_str(), value.size() + 1);
  }
  int rc = SetAllParams(selection.data(), block.data());
  if (rc != 0) return BlockFailure(rc);
  for (const auto &[number, value] : longer) {
    if (SetParameter(number, value.c_str()) != 0) return BlockFailure(number - 100);
  }
  result->data = {{"file", args.file}, {"count", values.size()}};
  result->text = std::to_string(values.size()) + " parameters set from " + args.file;
  return Status::Ok();
}

// ---- Drives and files ----

Status Drive(const std::string &letter, Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  if (ChgDrv(letter.c_str()) != 0) return Status::FromLibrary();
  result->data = {{"drive", letter.substr(0, 1)}};
  result->text = "drive " + letter.substr(0, 1);
  return Status::Ok();
}

Status List(const std::string &name, Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  std::vector<char> entries(VELDC_DIR_ENTRIES * VELDC_DIR_SLOT, '\0');
  std::vector<char> pattern = Writable(name);
  int count = ListFiles(name.empty() ? nullptr : pattern.data(), entries.data());
  if (count < 0) return Status::FromLibrary();
  json files = json::array();
  for (int i = 0; i < count; ++i) {
    const char *slot = entries.data() + i * VELDC_DIR_SLOT;
    std::string entry(slot, strnlen(slot, VELDC_DIR_SLOT));
    files.push_back(entry);
    result->text += Printable(entry) + "\n";
  }
  result->data = {{"count", count}, {"files", files}};
  result->text += std::to_string(count) + (count == 1 ? " file" : " files");
  return Status::Ok();
}

struct ViewArgs {
  std::string name;
  unsigned size = VELDC_VIEW_MAX;
};

Status View(const ViewArgs &args, Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  std::vector<char> name = Writable(args.name);
  // One byte more than the library may use, so the text is always terminated. A larger size
  // is refused by the library before it writes anything.
  std::vector<char> buffer(std::min<unsigned>(args.size, VELDC_VIEW_MAX) + 1u, '\0');
  int lines = ViewFile(name.data(), buffer.data(), args.size);
  if (lines < 0) return Status::FromLibrary();
  std::string text(buffer.data());
  result->data = {{"name", name.data()}, {"lines", lines}, {"text", text}};
  // The terminal's lines end in CR LF; the shell's in LF.
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain += text[i];
  }
  result->text = plain;
  return Status::Ok();
}

Status Delete(const std::string &name, Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  std::vector<char> writable = Writable(name);
  if (DeleFile(writable.data()) != 0) return Status::FromLibrary();
  result->data = {{"name", writable.data()}, {"deleted", true}};
  result->text = std::string(writable.data()) + " deleted";
  return Status::Ok();
}

struct DownloadArgs {
  std::string path;
  std::string name;
  bool protect = false;
  int option = 0;
  bool program = false;
};

Status Download(const DownloadArgs &args, Context &context, Result *result) {
  if (args.program && !args.name.empty())
    return Status::Usage("a program has no terminal file name; give only the PC file");
  std::string name = args.name.empty() ? TerminalNameFor(args.path) : args.name;
  if (!args.program && name.empty())
    return Status::Usage("cannot make a terminal file name from " + args.path + "; give one");
  // Checked here so that an unreadable file costs no load on the terminal.
  Status status = ReadableFile(args.path);
  if (!status.ok()) return status;
  status = context.session.Selected();
  if (!status.ok()) return status;
  int records = 0;
  std::vector<char> writable = Writable(name);
  if (args.program) {
    records = SendPrg(args.path.c_str());
  } else {
    records = SendFile(args.path.c_str(), writable.data(), args.protect ? 1 : 0, args.option);
  }
  if (records < 0) return Status::FromLibrary();
  std::string target = args.program ? "the program" : std::string(writable.data());
  result->data = {{"file", args.path}, {"records", records}, {"program", args.program}};
  if (!args.program) result->data["name"] = writable.data();
  result->text =
      "downloaded " + std::to_string(records) + " records from " + args.path + " to " + target;
  return Status::Ok();
}

Status Upload(const std::vector<std::string> &names, Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  std::vector<char> name = Writable(names[0]);
  std::string path = names.size() > 1 ? names[1] : names[0];
  int records = RecvFile(name.data(), path.c_str());
  if (records < 0) return Status::FromLibrary();
  result->data = {{"name", name.data()}, {"file", path}, {"records", records}};
  result->text = "uploaded " + std::to_string(records) + " records from " +
                 std::string(name.data()) + " to " + path;
  return Status::Ok();
}

// ---- Raw commands and messages ----

Status Send(const std::string &text, Context &context, Result *result) {
  std::string command;
  Status status = UnescapeArg(text, &command);
  if (!status.ok()) return status;
  status = context.session.Selected();
  if (!status.ok()) return status;
  char reply[VELDC_REPLY_SIZE] = {};
  if (SendCommand(command.c_str(), reply) != 0) return Status::FromLibrary();
  result->data = {{"sent", command}, {"reply", reply}};
  result->text = Printable(reply);
  return Status::Ok();
}

Status Post(const std::string &text, Context &context, Result *result) {
  std::string command;
  Status status = UnescapeArg(text, &command);
  if (!status.ok()) return status;
  status = context.session.Selected();
  if (!status.ok()) return status;
  if (PostCommand(command.c_str()) != 0) return Status::FromLibrary();
  result->data = {{"posted", command}};
  result->text = "posted " + Printable(command);
  return Status::Ok();
}

Status Collect(double wait, Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait);
  char reply[VELDC_REPLY_SIZE] = {};
  while (GetResponse(reply) != 0) {
    status = Status::FromLibrary();
    if (status.code != kNoReply || std::chrono::steady_clock::now() >= deadline) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  result->data = {{"reply", reply}};
  result->text = Printable(reply);
  return Status::Ok();
}

struct ListenArgs {
  int count = 0;
  double seconds = 10;
};

Status Listen(const ListenArgs &args, Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(args.seconds);
  json messages = json::array();
  while (args.count == 0 || static_cast<int>(messages.size()) < args.count) {
    if (std::chrono::steady_clock::now() >= deadline) break;
    char message[VELDC_REPLY_SIZE] = {};
    // Each call waits up to a second for one line.
    if (GetMsgEx(message) != 0) {
      status = Status::FromLibrary();
      if (status.code != kNoReply) return status;
      continue;
    }
    messages.push_back(message);
    if (!context.reporter.Json()) {
      std::printf("%s\n", Printable(message).c_str());
      std::fflush(stdout);
    }
  }
  result->data = {{"messages", messages}};
  return Status::Ok();
}

// ---- The Pelo adapter, the modem, the library ----

Status Adapter(const std::string &text, Context &context, Result *result) {
  std::string command;
  Status status = UnescapeArg(text, &command);
  if (!status.ok()) return status;
  status = context.session.Open();
  if (!status.ok()) return status;
  char reply[VELDC_REPLY_SIZE] = {};
  if (PeloCommand(command.c_str(), reply) != 0) return Status::FromLibrary();
  result->data = {{"sent", command}, {"reply", reply}};
  result->text = Printable(reply);
  return Status::Ok();
}

Status AdapterReset(Context &context, Result *result) {
  Status status = context.session.Open();
  if (!status.ok()) return status;
  if (PeloReset() != 0) return Status::FromLibrary();
  result->data = {{"reset", true}};
  result->text = "adapter reset sent";
  return Status::Ok();
}

struct DialArgs {
  std::string number;
  std::string init;
  int wait = 60;
};

Status Dial(const DialArgs &args, Context &context, Result *result) {
  Status status = context.session.Open();
  if (!status.ok()) return status;
  if (DialNumber(args.init.empty() ? nullptr : args.init.c_str(), args.number.c_str(), args.wait) !=
      0)
    return Status::FromLibrary();
  result->data = {{"number", args.number}, {"connected", true}};
  result->text = "connected to " + args.number;
  return Status::Ok();
}

Status Hangup(Context &context, Result *result) {
  Status status = context.session.Open();
  if (!status.ok()) return status;
  if (HangUp() != 0) return Status::FromLibrary();
  result->data = {{"hung_up", true}};
  result->text = "hung up";
  return Status::Ok();
}

Status Version(Context &, Result *result) {
  char library[VELDC_VERSION_SIZE * 2] = {};
  char driver[VELDC_VERSION_SIZE * 2] = {};
  if (GetVeldcVersion(library) != 0) return Status::FromLibrary();
  bool haveDriver = GetKov74cVersion(driver) == 0;
  result->data = {{"veldc", library}, {"kov74c", haveDriver ? json(driver) : json(nullptr)}};
  result->text = std::string("veldc ") + library + "\nkov74c " + (haveDriver ? driver : "-");
  return Status::Ok();
}

Status LocalIp(Context &context, Result *result) {
  Status status = context.session.Open();
  if (!status.ok()) return status;
  char address[VELDC_HOSTNAME_SIZE] = {};
  if (GetLocalIPAddress(address) != 0) return Status::FromLibrary();
  result->data = {{"address", address}};
  result->text = address;
  return Status::Ok();
}

}  // namespace

void DefineCommands(CLI::App &app, std::vector<Command> *out) {
  AddCommand(app, out, "identify", "Select the terminal and show its identification",
             "  veldc identify\n  veldc --link network:/dev/ttyUSB0 -a 12 identify\n", Identify);

  auto select = std::make_shared<std::pair<int, bool>>(0, false);
  CLI::App *sub =
      AddCommand(app, out, "select", "Select another terminal (batch sessions)",
                 "  select 3\n  select 4 --quick\n", [select](Context &context, Result *result) {
                   Status status = context.session.Select(select->first, select->second);
                   if (!status.ok()) return status;
                   result->data = {{"address", select->first}};
                   result->text = "terminal " + std::to_string(select->first) + " selected";
                   return status;
                 });
  sub->add_option("address", select->first, "Terminal address")->required();
  sub->add_flag("--quick", select->second, "Only switch the address (no identification)");

  auto timeValue = std::make_shared<std::string>();
  sub = AddCommand(app, out, "time", "Read the terminal's time, or set it (HHMMSS)",
                   "  veldc time\n  veldc time 083000\n",
                   [timeValue](Context &context, Result *result) {
                     return ClockValue(context, result, "time", *timeValue, GetTime, SetTime);
                   });
  sub->add_option("value", *timeValue, "New time, HHMMSS");

  auto dateValue = std::make_shared<std::string>();
  sub = AddCommand(app, out, "date",
                   "Read the terminal's date, or set it (WYYMMDD, W = weekday 0-6, 0 = Sunday)",
                   "  veldc date\n  veldc date 6261205\n",
                   [dateValue](Context &context, Result *result) {
                     return ClockValue(context, result, "date", *dateValue, GetDate, SetDate);
                   });
  sub->add_option("value", *dateValue, "New date, WYYMMDD");

  AddCommand(app, out, "sync-clock", "Set the terminal's time and date from this PC's clock",
             "  veldc sync-clock\n", SyncClock);

  auto param = std::make_shared<ParamArgs>();
  sub = AddCommand(
      app, out, "param", "Read one configuration parameter, or set it",
      "  veldc param 12\n  veldc param 12 ON\n  veldc param 12 --clear\n",
      [param](Context &context, Result *result) { return Param(*param, context, result); });
  sub->add_option("number", param->number, "Parameter number, 0 to 99")->required();
  sub->add_option("value", param->value, "New value (at most 32 characters)")->expected(0, 1);
  sub->add_flag("--clear", param->clear, "Set the parameter to the empty value");

  CLI::App *params = app.add_subcommand("params", "Read or set many parameters (NN=value file)");
  params->footer(
      "Examples:\n  veldc params get\n  veldc params get --select 0-9,20 --out params.txt\n"
      "  veldc params set params.txt\n");
  params->require_subcommand(1);
  auto get = std::make_shared<ParamsArgs>();
  sub = AddCommand(
      *params, out, "get", "Read the selected parameters (all by default)",
      "  veldc params get --select 0-9 --out params.txt\n",
      [get](Context &context, Result *result) { return ParamsGet(*get, context, result); });
  sub->add_option("--select", get->select, "Numbers to read, like 0-9,15 (default all)");
  sub->add_option("-o,--out", get->file, "Write NN=value lines to this file");
  auto set = std::make_shared<ParamsArgs>();
  sub = AddCommand(*params, out, "set", "Set the parameters listed in a NN=value file",
                   "  veldc params set params.txt\n", [set](Context &context, Result *result) {
                     return ParamsSet(*set, context, result);
                   });
  sub->add_option("file", set->file, "File of NN=value lines")->required();

  auto drive = std::make_shared<std::string>();
  sub = AddCommand(
      app, out, "drive", "Make drive A, B or C current", "  veldc drive B\n",
      [drive](Context &context, Result *result) { return Drive(*drive, context, result); });
  sub->add_option("letter", *drive, "A, B or C")->required();

  auto list = std::make_shared<std::string>();
  sub = AddCommand(app, out, "list", "List the files of the current drive",
                   "  veldc list\n  veldc list BADGES\n", [list](Context &context, Result *result) {
                     return List(*list, context, result);
                   });
  sub->add_option("name", *list, "Only this file (up to 8 characters)");

  auto view = std::make_shared<ViewArgs>();
  sub =
      AddCommand(app, out, "view", "Show the text of a terminal file",
                 "  veldc view BADGES\n  veldc view BADGES --size 1000\n",
                 [view](Context &context, Result *result) { return View(*view, context, result); });
  sub->add_option("name", view->name, "Terminal file name")->required();
  sub->add_option("--size", view->size, "Most bytes to fetch (at most 32767)");

  auto del = std::make_shared<std::string>();
  sub =
      AddCommand(app, out, "delete", "Delete a terminal file", "  veldc delete BADGES\n",
                 [del](Context &context, Result *result) { return Delete(*del, context, result); });
  sub->add_option("name", *del, "Terminal file name")->required();

  auto download = std::make_shared<DownloadArgs>();
  sub = AddCommand(app, out, "download", "Copy a PC text file to the terminal (or load a program)",
                   "  veldc download badges.txt\n  veldc download list.txt STAFF -P --option 12\n"
                   "  veldc download --program app.prg\n",
                   [download](Context &context, Result *result) {
                     return Download(*download, context, result);
                   });
  sub->add_option("file", download->path, "PC file to send")->required();
  sub->add_option("name", download->name, "Terminal file name (default: from the PC file)");
  sub->add_flag("-P,--protect", download->protect, "Load with the P flag");
  sub->add_option("--option", download->option, "Numeric load option, 0 to 127");
  sub->add_flag("--program", download->program, "Load the file as the terminal's program");

  auto upload = std::make_shared<std::vector<std::string>>();
  sub = AddCommand(
      app, out, "upload", "Copy a terminal file to a PC file",
      "  veldc upload BADGES\n  veldc upload BADGES badges-copy.txt\n",
      [upload](Context &context, Result *result) { return Upload(*upload, context, result); });
  sub->add_option("name file", *upload, "Terminal file name, then the PC file (default: same)")
      ->required()
      ->expected(1, 2);

  auto send = std::make_shared<std::string>();
  sub = AddCommand(
      app, out, "send", "Send a raw command and show the reply (\\r \\n \\t \\\\ \\xNN escapes)",
      "  veldc send TIME\n  veldc send '\\x04'\n",
      [send](Context &context, Result *result) { return Send(*send, context, result); });
  sub->add_option("text", *send, "Command text")->required();

  auto post = std::make_shared<std::string>();
  sub =
      AddCommand(app, out, "post", "Send a command now and collect its reply later",
                 "  veldc --batch - <<'EOF'\n  post TIME\n  collect --wait 5\n  EOF\n",
                 [post](Context &context, Result *result) { return Post(*post, context, result); });
  sub->add_option("text", *post, "Command text")->required();

  auto wait = std::make_shared<double>(0);
  sub = AddCommand(
      app, out, "collect", "Collect the reply to a posted command", "  collect --wait 5\n",
      [wait](Context &context, Result *result) { return Collect(*wait, context, result); });
  sub->add_option("--wait", *wait, "Seconds to keep asking while no reply has come (default 0)");

  auto listen = std::make_shared<ListenArgs>();
  sub = AddCommand(
      app, out, "listen", "Print the messages the terminal sends on its own",
      "  veldc listen --seconds 60\n  veldc listen --count 1\n",
      [listen](Context &context, Result *result) { return Listen(*listen, context, result); });
  sub->add_option("--count", listen->count, "Stop after this many messages (0: no limit)");
  sub->add_option("--seconds", listen->seconds, "Stop after this long (default 10)");

  auto adapter = std::make_shared<std::string>();
  sub = AddCommand(
      app, out, "adapter", "Send a command to the Pelo adapter itself",
      "  veldc --link pelo:192.168.1.50:2000 adapter X\n",
      [adapter](Context &context, Result *result) { return Adapter(*adapter, context, result); });
  sub->add_option("text", *adapter, "Adapter command")->required();

  AddCommand(app, out, "adapter-reset", "Reset the Pelo adapter",
             "  veldc --link pelo:192.168.1.50:2000 adapter-reset\n", AdapterReset);

  auto dial = std::make_shared<DialArgs>();
  sub =
      AddCommand(app, out, "dial", "Dial a number on the modem of a serial link",
                 "  veldc --link direct:/dev/ttyUSB0 --batch - <<'EOF'\n  dial 5551234\n"
                 "  identify\n  hangup\n  EOF\n",
                 [dial](Context &context, Result *result) { return Dial(*dial, context, result); });
  sub->add_option("number", dial->number, "Number to dial")->required();
  sub->add_option("--init", dial->init, "Modem initialisation string");
  sub->add_option("--wait", dial->wait, "Seconds to wait for the carrier (at most 120)");

  AddCommand(app, out, "hangup", "Hang up the modem", "  hangup\n", Hangup);
  AddCommand(app, out, "version", "Show the library's and the Kov74 driver's versions",
             "  veldc version\n", Version);
  AddCommand(app, out, "local-ip", "Show this PC's IP address (Pelo links)",
             "  veldc --link pelo:192.168.1.50:2000 local-ip\n", LocalIp);
}

}  // namespace veldc::cli
