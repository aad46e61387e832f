#include "commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "checks.h"
#include "interrupt.h"
#include "param_file.h"
#include "ports.h"
#include "text_args.h"
#include "trace_log.h"
#include "veldc.h"
#include "version.h"

namespace veldc::cli {
namespace {

using nlohmann::json;

constexpr int kNoReply = 40;      // the library's "No reply from terminal"
constexpr int kPeloTimeout = 79;  // "WinSocket timeout expired": a Pelo's no reply
constexpr int kSendIgnored = 62;  // "Send command ignored": no such file
constexpr int kDialReply = 83;    // "Bad reply to dial command"

// Nothing came yet: on a serial link 40, on a Pelo link 79.
bool NothingYet(const Status &status) {
  return status.code == kNoReply || status.code == kPeloTimeout;
}

// A writable copy: the library upper-cases terminal file names in place.
std::vector<char> Writable(const std::string &text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  return buffer;
}

Status UnescapeArg(const std::string &text, std::string *out) {
  std::string error;
  if (!Unescape(text, out, &error)) return Status::Usage(error);
  return Status::Ok();
}

// A raw command: its escapes must hold, and a command has at most 127 characters.
Status CheckCommandText(const std::string &text) {
  std::string command;
  Status status = UnescapeArg(text, &command);
  if (status.ok() && command.size() > 127) {
    return Status::Usage("a command has at most 127 characters, not " +
                         std::to_string(command.size()));
  }
  return status;
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
                     std::function<Status(Context &, Result *)> run,
                     std::function<Status(const LinkSpec &)> check = nullptr) {
  CLI::App *sub = app.add_subcommand(name, description);
  sub->footer("Examples:\n" + examples);
  // A subcommand of another ("params get") is reported by its whole name.
  const std::string full = app.get_parent() != nullptr ? app.get_name() + " " + name : name;
  sub->callback([out, full, run, check] { out->push_back({full, run, check}); });
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
  result->data = {{"model", model}, {"reply", TerminalText(reply)}};
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
  result->data = {{key, TerminalText(text)}};
  result->text = Printable(text);
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
  result->data = {{"number", args.number}, {"value", TerminalText(value)}};
  result->text = Printable(value);
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
    // Opened before the terminal is asked, so a bad path costs no traffic; never a FIFO or a
    // device, which could hang the tool or take what is not a file.
    struct stat st {};
    if (::stat(args.file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      return Status::HostFile("cannot write " + args.file + ": not a regular file");
    }
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
  json params = json::array();
  std::map<int, std::string> shown;
  for (const auto &[number, value] : values) {
    params.push_back({{"number", number}, {"value", TerminalText(value)}});
    shown[number] = Printable(value);
  }
  result->data = {{"params", params}};
  if (args.file.empty()) {
    result->text = WriteParamFile(shown);
    return Status::Ok();
  }
  const std::string text = WriteParamFile(values);
  out << text;
  out.close();
  if (!out) return Status::HostFile("cannot write " + args.file);
  result->data["file"] = args.file;
  result->text = std::to_string(values.size()) + " parameters written to " + args.file;
  return Status::Ok();
}

// The NN=value file of params set, read without hanging on a FIFO.
Status ReadParams(const std::string &path, std::map<int, std::string> *values) {
  std::string content;
  Status status = ReadPcFile(path, &content);
  if (!status.ok()) return status;
  std::istringstream in(content);
  std::string error;
  if (!ReadParamFile(in, values, &error)) return Status::HostFile(path + ": " + error);
  for (const auto &[number, value] : *values) {
    status = CheckParameter(number, value);
    if (!status.ok()) return Status::HostFile(path + ": " + status.message);
  }
  return Status::Ok();
}

Status ParamsSet(const ParamsArgs &args, Context &context, Result *result) {
  std::map<int, std::string> values;
  Status status = ReadParams(args.file, &values);
  if (!status.ok()) return status;
  status = context.session.Selected();
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
    // "BADGES   57": the name in eight columns, then the size (records on a Sorvik).
    std::string name = entry.substr(0, std::min<size_t>(entry.size(), 8));
    name.erase(name.find_last_not_of(' ') + 1);
    json size = nullptr;
    if (entry.size() > 9 && std::isdigit(static_cast<unsigned char>(entry[9]))) {
      size = std::atol(entry.c_str() + 9);
    }
    files.push_back({{"name", TerminalText(name)}, {"size", size}, {"entry", TerminalText(entry)}});
    result->text += Printable(entry) + "\n";
  }
  result->data = {{"count", count}, {"files", files}};
  result->text += std::to_string(count) + (count == 1 ? " file" : " files");
  return Status::Ok();
}

struct ViewArgs {
  std::string name;
  unsigned size = VELDC_VIEW_MAX - 1;
};

Status View(const ViewArgs &args, Context &context, Result *result) {
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  std::vector<char> name = Writable(args.name);
  // --size counts the file's bytes as list shows them; the library's buffer also holds the
  // terminating zero.
  const unsigned size = std::min<unsigned>(args.size, VELDC_VIEW_MAX - 1) + 1u;
  std::vector<char> buffer(size + 1u, '\0');
  int lines = ViewFile(name.data(), buffer.data(), size);
  if (lines < 0) {
    return Status::FromLibrary().Means(kSendIgnored,
                                       "no file " + std::string(name.data()) + " on the terminal");
  }
  std::string text(buffer.data());
  result->data = {{"name", name.data()}, {"lines", lines}, {"text", TerminalText(text)}};
  // The terminal's lines end in CR LF; the shell's in LF.
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain += text[i];
  }
  // Each line escaped; line ends stay line ends on the screen.
  size_t start = 0;
  for (size_t at; (at = plain.find('\n', start)) != std::string::npos; start = at + 1) {
    result->text += Printable(plain.substr(start, at - start)) + "\n";
  }
  result->text += Printable(plain.substr(start));
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
  bool lf = false;
  std::string converted;  // with --lf: the file with CR LF line ends, sent instead
};

// Everything about a download that can be judged before the line is touched, the PC file's
// every record included.
Status CheckDownload(DownloadArgs *args) {
  if (args->program && !args->name.empty())
    return Status::Usage("a program has no terminal file name; give only the PC file");
  std::string name = args->name.empty() ? TerminalNameFor(args->path) : args->name;
  if (!args->program && name.empty())
    return Status::Usage("cannot make a terminal file name from " + args->path + "; give one");
  if (!args->program) {
    Status status = CheckTerminalName(name);
    if (!status.ok()) return status;
  }
  if (args->option < 0 || args->option > 127) return Status::Usage("--option is 0 to 127");
  return ScanDownload(args->path, args->lf, &args->converted);
}

// A copy of `content` in a file of its own, removed when the object goes.
class TempCopy {
 public:
  explicit TempCopy(const std::string &content) {
    char path[] = "/tmp/veldc-lf-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return;
    const bool written =
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    path_ = path;
    ok_ = written;
  }
  ~TempCopy() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempCopy(const TempCopy &) = delete;
  TempCopy &operator=(const TempCopy &) = delete;
  bool ok() const { return ok_; }
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
};

Status Download(const DownloadArgs &args, Context &context, Result *result) {
  std::string name = args.name.empty() ? TerminalNameFor(args.path) : args.name;
  std::unique_ptr<TempCopy> copy;
  std::string path = args.path;
  if (!args.converted.empty()) {
    copy = std::make_unique<TempCopy>(args.converted);
    if (!copy->ok()) return Status::HostFile("cannot write a CR LF copy of " + args.path);
    path = copy->Path();
  }
  Status status = context.session.Selected();
  if (!status.ok()) return status;
  int records = 0;
  std::vector<char> writable = Writable(name);
  if (args.program) {
    records = SendPrg(path.c_str());
  } else {
    records = SendFile(path.c_str(), writable.data(), args.protect ? 1 : 0, args.option);
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
  if (records < 0) {
    return Status::FromLibrary().Means(kSendIgnored,
                                       "no file " + std::string(name.data()) + " on the terminal");
  }
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
  result->data = {{"sent", TerminalText(command)}, {"reply", TerminalText(reply)}};
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
  result->data = {{"posted", TerminalText(command)}};
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
    if (!NothingYet(status) || std::chrono::steady_clock::now() >= deadline) return status;
    if (Interrupted() != 0) return {VELDC_ERR_CANCELLED, "Operation cancelled"};
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  result->data = {{"reply", TerminalText(reply)}};
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
    if (std::chrono::steady_clock::now() >= deadline || Interrupted() != 0) break;
    char message[VELDC_REPLY_SIZE] = {};
    // Each call waits up to a second for one line.
    if (GetMsgEx(message) != 0) {
      status = Status::FromLibrary();
      // Ctrl-C is how listening usually ends: what was heard is still reported.
      if (status.code == VELDC_ERR_CANCELLED) break;
      if (!NothingYet(status)) return status;
      continue;
    }
    messages.push_back(TerminalText(message));
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
  result->data = {{"sent", TerminalText(command)}, {"reply", TerminalText(reply)}};
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
  const int dialled =
      DialNumber(args.init.empty() ? nullptr : args.init.c_str(), args.number.c_str(), args.wait);
  // A call cut short may have reached the far modem: the session hangs up at its end.
  context.session.MarkDialled(dialled == 0 || Interrupted() != 0);
  if (dialled != 0) {
    const std::string heard = context.trace != nullptr ? context.trace->LastLineHeard() : "";
    return Status::FromLibrary().Means(kDialReply,
                                       "modem: " + (heard.empty() ? "no answer" : heard));
  }
  result->data = {{"number", args.number}, {"connected", true}};
  result->text = "connected to " + args.number;
  return Status::Ok();
}

Status Hangup(Context &context, Result *result) {
  Status status = context.session.Open();
  if (!status.ok()) return status;
  if (HangUp() != 0) return Status::FromLibrary();
  context.session.MarkDialled(false);
  result->data = {{"hung_up", true}};
  result->text = "hung up";
  return Status::Ok();
}

Status Version(Context &, Result *result) {
  char library[VELDC_VERSION_SIZE * 2] = {};
  char driver[VELDC_VERSION_SIZE * 2] = {};
  if (GetVeldcVersion(library) != 0) return Status::FromLibrary();
  bool haveDriver = GetKov74cVersion(driver) == 0;
  result->data = {{"tool", VersionText()},
                  {"veldc", library},
                  {"kov74c", haveDriver ? json(driver) : json(nullptr)}};
  result->text = VersionLines() + "\nkov74c " + (haveDriver ? driver : "-");
  return Status::Ok();
}

Status Ports(Context &, Result *result) {
  json ports = json::array();
  for (const SerialPort &port : ListSerialPorts()) {
    ports.push_back({{"device", port.device},
                     {"by_id", port.byId},
                     {"driver", port.driver},
                     {"description", port.description}});
    result->text += port.device;
    for (const std::string &name : port.byId) result->text += "\n    " + name;
    std::string about = port.driver;
    if (!port.description.empty()) about += (about.empty() ? "" : ", ") + port.description;
    if (!about.empty()) result->text += "\n    " + about;
    result->text += "\n";
  }
  result->data = {{"ports", ports}};
  if (ports.empty()) result->text = "no serial ports found";
  return Status::Ok();
}

Status LocalIp(Context &context, Result *result) {
  Status status = context.session.Open();
  if (!status.ok()) return status;
  char address[VELDC_HOSTNAME_SIZE] = {};
  if (GetLocalIPAddress(address) != 0) return Status::FromLibrary();
  result->data = {{"ip", address}};
  result->text = address;
  return Status::Ok();
}

}  // namespace

void DefineCommands(CLI::App &app, std::vector<Command> *out) {
  AddCommand(app, out, "identify", "Select the terminal and show its identification",
             "  veldc identify\n  veldc --link network:/dev/ttyUSB0 -a 12 identify\n", Identify);

  auto select = std::make_shared<std::pair<int, bool>>(0, false);
  CLI::App *sub = AddCommand(
      app, out, "select", "Select another terminal (batch sessions)",
      "  select 3\n  select 4 --quick\n",
      [select](Context &context, Result *result) {
        Status status = context.session.Select(select->first, select->second);
        if (!status.ok()) return status;
        result->data = {{"address", select->first}};
        result->text = "terminal " + std::to_string(select->first) + " selected";
        return status;
      },
      [select](const LinkSpec &link) { return CheckAddress(link.kind, select->first); });
  sub->add_option("address", select->first, "Terminal address")->required();
  sub->add_flag("--quick", select->second, "Only switch the address (no identification)");

  auto timeValue = std::make_shared<std::string>();
  sub = AddCommand(
      app, out, "time", "Read the terminal's time, or set it (HHMMSS)",
      "  veldc time\n  veldc time 083000\n",
      [timeValue](Context &context, Result *result) {
        return ClockValue(context, result, "time", *timeValue, GetTime, SetTime);
      },
      [timeValue](const LinkSpec &) {
        return timeValue->empty() ? Status::Ok() : CheckTime(*timeValue);
      });
  sub->add_option("value", *timeValue, "New time, HHMMSS");

  auto dateValue = std::make_shared<std::string>();
  sub = AddCommand(
      app, out, "date",
      "Read the terminal's date, or set it (WYYMMDD, W = weekday 0-6, 0 = Sunday)",
      "  veldc date\n  veldc date 6261205\n",
      [dateValue](Context &context, Result *result) {
        return ClockValue(context, result, "date", *dateValue, GetDate, SetDate);
      },
      [dateValue](const LinkSpec &) {
        return dateValue->empty() ? Status::Ok() : CheckDate(*dateValue);
      });
  sub->add_option("value", *dateValue, "New date, WYYMMDD");

  AddCommand(app, out, "sync-clock", "Set the terminal's time and date from this PC's clock",
             "  veldc sync-clock\n", SyncClock);

  auto param = std::make_shared<ParamArgs>();
  sub = AddCommand(
      app, out, "param", "Read one configuration parameter, or set it",
      "  veldc param 12\n  veldc param 12 ON\n  veldc param 12 --clear\n",
      [param](Context &context, Result *result) { return Param(*param, context, result); },
      [param](const LinkSpec &) {
        return CheckParameter(param->number, param->value.empty() ? "" : param->value[0]);
      });
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
      [get](Context &context, Result *result) { return ParamsGet(*get, context, result); },
      [get](const LinkSpec &) {
        std::vector<int> selection;
        std::string error;
        return ParseSelection(get->select, &selection, &error) ? Status::Ok()
                                                               : Status::Usage(error);
      });
  sub->add_option("--select", get->select, "Numbers to read, like 0-9,15 (default all)");
  sub->add_option("-o,--out", get->file, "Write NN=value lines to this file");
  auto set = std::make_shared<ParamsArgs>();
  sub = AddCommand(
      *params, out, "set", "Set the parameters listed in a NN=value file",
      "  veldc params set params.txt\n",
      [set](Context &context, Result *result) { return ParamsSet(*set, context, result); },
      [set](const LinkSpec &) {
        std::map<int, std::string> values;
        return ReadParams(set->file, &values);
      });
  sub->add_option("file", set->file, "File of NN=value lines")->required();

  auto drive = std::make_shared<std::string>();
  sub = AddCommand(
      app, out, "drive", "Make drive A, B or C current", "  veldc drive B\n",
      [drive](Context &context, Result *result) { return Drive(*drive, context, result); },
      [drive](const LinkSpec &) {
        return *drive == "A" || *drive == "B" || *drive == "C"
                   ? Status::Ok()
                   : Status::Usage("drive \"" + *drive + "\" is not A, B or C");
      });
  sub->add_option("letter", *drive, "A, B or C")->required();

  auto list = std::make_shared<std::string>();
  sub = AddCommand(
      app, out, "list", "List the files of the current drive",
      "  veldc list\n  veldc list BADGES\n",
      [list](Context &context, Result *result) { return List(*list, context, result); },
      [list](const LinkSpec &) { return CheckTerminalName(*list, true); });
  sub->add_option("name", *list, "Only this file (up to 8 characters)");

  auto view = std::make_shared<ViewArgs>();
  sub = AddCommand(
      app, out, "view", "Show the text of a terminal file",
      "  veldc view BADGES\n  veldc view BADGES --size 1000\n",
      [view](Context &context, Result *result) { return View(*view, context, result); },
      [view](const LinkSpec &) {
        if (view->size > VELDC_VIEW_MAX - 1) {
          return Status::Usage("--size is at most 32766");
        }
        return CheckTerminalName(view->name);
      });
  sub->add_option("name", view->name, "Terminal file name")->required();
  sub->add_option("--size", view->size,
                  "Most bytes of the file to fetch, as list shows its size (at most 32766)");

  auto del = std::make_shared<std::string>();
  sub = AddCommand(
      app, out, "delete", "Delete a terminal file", "  veldc delete BADGES\n",
      [del](Context &context, Result *result) { return Delete(*del, context, result); },
      [del](const LinkSpec &) { return CheckTerminalName(*del); });
  sub->add_option("name", *del, "Terminal file name")->required();

  auto download = std::make_shared<DownloadArgs>();
  sub = AddCommand(
      app, out, "download", "Copy a PC text file to the terminal (or load a program)",
      "  veldc download badges.txt\n  veldc download list.txt STAFF -P --option 12\n"
      "  veldc download --program app.prg\n",
      [download](Context &context, Result *result) { return Download(*download, context, result); },
      [download](const LinkSpec &) { return CheckDownload(download.get()); });
  sub->add_option("file", download->path, "PC file to send")->required();
  sub->add_option("name", download->name, "Terminal file name (default: from the PC file)");
  sub->add_flag("-P,--protect", download->protect, "Load with the P flag");
  sub->add_option("--option", download->option, "Numeric load option, 0 to 127");
  sub->add_flag("--program", download->program, "Load the file as the terminal's program");
  sub->add_flag("--lf", download->lf, "Take LF alone as a line end too (Unix text files)");

  auto upload = std::make_shared<std::vector<std::string>>();
  sub = AddCommand(
      app, out, "upload", "Copy a terminal file to a PC file",
      "  veldc upload BADGES\n  veldc upload BADGES badges-copy.txt\n",
      [upload](Context &context, Result *result) { return Upload(*upload, context, result); },
      [upload](const LinkSpec &) { return CheckTerminalName(upload->front()); });
  sub->add_option("name file", *upload, "Terminal file name, then the PC file (default: same)")
      ->required()
      ->expected(1, 2);

  auto send = std::make_shared<std::string>();
  sub = AddCommand(
      app, out, "send", "Send a raw command and show the reply (\\r \\n \\t \\\\ \\xNN escapes)",
      "  veldc send TIME\n  veldc send '\\x04'\n",
      [send](Context &context, Result *result) { return Send(*send, context, result); },
      [send](const LinkSpec &) { return CheckCommandText(*send); });
  sub->add_option("text", *send, "Command text")->required();

  auto post = std::make_shared<std::string>();
  sub = AddCommand(
      app, out, "post", "Send a command now and collect its reply later",
      "  veldc --batch - <<'EOF'\n  post TIME\n  collect --wait 5\n  EOF\n",
      [post](Context &context, Result *result) { return Post(*post, context, result); },
      [post](const LinkSpec &) { return CheckCommandText(*post); });
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
      [adapter](Context &context, Result *result) { return Adapter(*adapter, context, result); },
      [adapter](const LinkSpec &) { return CheckCommandText(*adapter); });
  sub->add_option("text", *adapter, "Adapter command")->required();

  AddCommand(app, out, "adapter-reset", "Reset the Pelo adapter",
             "  veldc --link pelo:192.168.1.50:2000 adapter-reset\n", AdapterReset);

  auto dial = std::make_shared<DialArgs>();
  sub = AddCommand(
      app, out, "dial", "Dial a number on the modem of a serial link",
      "  veldc --link direct:/dev/ttyUSB0 --batch - <<'EOF'\n  dial 5551234\n"
      "  identify\n  hangup\n  EOF\n",
      [dial](Context &context, Result *result) { return Dial(*dial, context, result); },
      [dial](const LinkSpec &) {
        return dial->wait >= 0 && dial->wait <= 120 ? Status::Ok()
                                                    : Status::Usage("--wait is 0 to 120 seconds");
      });
  sub->add_option("number", dial->number, "Number to dial")->required();
  sub->add_option("--init", dial->init, "Modem initialisation string");
  sub->add_option("--wait", dial->wait, "Seconds to wait for the carrier (at most 120)");

  AddCommand(app, out, "hangup", "Hang up the modem", "  hangup\n", Hangup);
  AddCommand(app, out, "version", "Show the tool's, the library's and the Kov74 driver's versions",
             "  veldc version\n", Version);
  AddCommand(app, out, "ports",
             "List the serial devices a link can name, with what is known of each",
             "  veldc ports\n", Ports);
  AddCommand(app, out, "local-ip", "Show this PC's IP address (Pelo links)",
             "  veldc --link pelo:192.168.1.50:2000 local-ip\n", LocalIp);
}

}  // namespace veldc::cli
