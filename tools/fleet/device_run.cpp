#include "device_run.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "worker.h"

namespace veldc::fleet {
namespace {

using nlohmann::json;

constexpr int kWorkerLost = -1;  // the worker ended or hung: no code of the library's

struct Outcome {
  bool ok = true;
  int code = 0;
  std::string message;
  json reply;
  std::string detail;  // the system's cause, when the worker names one
};

// A port that cannot be opened is worth another try only while something else holds it.
bool WorthRetrying(const Outcome &outcome) {
  if (outcome.code == 22 && !outcome.detail.empty()) {
    return outcome.detail.find("busy") != std::string::npos;
  }
  return Retryable(outcome.code);
}

class DeviceRunner {
 public:
  DeviceRunner(const RunContext &context, const Device &device)
      : context_(context), device_(device) {}

  DeviceResult Run() {
    auto start = std::chrono::steady_clock::now();
    result_.name = device_.name;
    for (const TerminalEntry &terminal : device_.terminals) RunTerminal(terminal);
    worker_.Stop();
    result_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result_;
  }

 private:
  void RunTerminal(const TerminalEntry &terminal) {
    TerminalResult out;
    out.address = terminal.address;
    selected_ = false;
    for (const Job &job : context_.inventory.jobs) {
      JobResult done = RunWithRetries(terminal, job);
      out.ok = out.ok && done.ok;
      out.records += done.records;
      if (context_.finished) context_.finished(device_.name, terminal.address, done);
      out.jobs.push_back(done);
    }
    result_.ok = result_.ok && out.ok;
    result_.records += out.records;
    std::string message;
    for (const JobResult &job : out.jobs) {
      if (!job.ok) message += (message.empty() ? "" : "; ") + job.job + ": " + job.message;
    }
    try {
      std::lock_guard<std::mutex> lock(context_.storeMutex);
      context_.store.NoteTerminal(context_.run, device_.name, terminal.address, out.ok, out.records,
                                  message);
    } catch (const StoreError &) {
      // The jobs' own outcome already says the store failed, where it mattered.
    }
    result_.terminals.push_back(out);
  }

  JobResult RunWithRetries(const TerminalEntry &terminal, const Job &job) {
    JobResult done;
    done.job = JobName(job);
    for (int attempt = 0;; ++attempt) {
      done.attempts = attempt + 1;
      Progress("terminal " + AddressText(terminal) + ": " + done.job +
               (attempt > 0 ? " (attempt " + std::to_string(attempt + 1) + ")" : ""));
      Outcome outcome = Selected(terminal);
      int records = 0;
      if (outcome.ok) outcome = RunJob(terminal, job, &records);
      if (outcome.ok) {
        done.ok = true;
        done.code = 0;
        done.message.clear();
        done.records = records;
        return done;
      }
      done.code = outcome.code;
      done.message = outcome.message;
      // After a failure the batch has ended; the next attempt starts a worker afresh.
      worker_.Stop();
      selected_ = false;
      resetAdapter_ = device_.link.rfind("pelo:", 0) == 0;
      if (!WorthRetrying(outcome) || attempt >= context_.inventory.retries) return done;
      double delay = context_.inventory.retryDelay * (1 << attempt);
      Progress("terminal " + AddressText(terminal) + ": " + done.job + ": " + outcome.message +
               "; retry in " + Seconds(delay));
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    }
  }

  Outcome RunJob(const TerminalEntry &terminal, const Job &job, int *records) {
    switch (job.kind) {
      case JobKind::kCollect:
        return Collect(terminal, job.file, records);
      case JobKind::kSyncClock:
        return Call("sync-clock");
      case JobKind::kDownload:
        return Call("download " + Quote(job.file) + (job.to.empty() ? "" : " " + Quote(job.to)));
      case JobKind::kProgram:
        return Call("download --program " + Quote(job.file));
      case JobKind::kSetParams:
        return Call("params set " + Quote(job.file));
    }
    return {false, kWorkerLost, "unknown job", {}, {}};
  }

  // Exactly once: the records and the batch are stored in one transaction before the terminal
  // file is deleted; a batch still marked stored is held against the next upload.
  Outcome Collect(const TerminalEntry &terminal, const std::string &file, int *records) {
    Outcome listed = Call("list");
    if (!listed.ok) return listed;
    int address = terminal.address >= 0 ? terminal.address : address_;
    if (!Lists(listed.reply, file)) {
      // Nothing to collect; a batch still stored lost its file to the earlier delete.
      return WithStore([&] { context_.store.MarkCleared(device_.name, address, file); });
    }
    std::string path =
        context_.workDir + "/" + device_.name + "." + std::to_string(address) + "." + file + ".txt";
    Outcome uploaded = Call("upload " + Quote(file) + " " + Quote(path));
    if (!uploaded.ok) return uploaded;
    std::vector<std::string> upload;
    if (!ReadRecords(path, &upload)) {
      return {false, kWorkerLost, "cannot read the uploaded " + path, {}, {}};
    }
    NewBatch batch;
    batch.device = device_.name;
    batch.terminal = address;
    batch.file = file;
    batch.uploaded = static_cast<int>(upload.size());
    batch.checksum = Checksum(upload);
    Outcome stored = WithStore([&] {
      Pending pending = context_.store.PendingRecords(device_.name, address, file);
      // The upload begins with what is still marked stored: the delete never happened and only
      // the rest is new. Otherwise the delete went through and all of it is new.
      size_t known = 0;
      if (StartsWith(upload, pending.records)) {
        known = pending.records.size();
      } else {
        batch.clearPending = true;
        batch.pending = pending.batches;
      }
      batch.records.assign(upload.begin() + static_cast<long>(known), upload.end());
      batch.collectedAt = UtcNow();
      context_.store.StoreBatch(context_.run, batch);
    });
    if (!stored.ok) return stored;  // nothing stored, so nothing is deleted
    *records = static_cast<int>(batch.records.size());
    unlink(path.c_str());
    Outcome deleted = Call("delete " + Quote(file));
    if (!deleted.ok) return deleted;
    return WithStore([&] { context_.store.MarkCleared(device_.name, address, file); });
  }

  template <typename F>
  Outcome WithStore(F body) {
    try {
      std::lock_guard<std::mutex> lock(context_.storeMutex);
      body();
      return {};
    } catch (const StoreError &e) {
      return {false, 0, std::string("the store cannot be written: ") + e.what(), {}, {}};
    }
  }

  // Starts the worker when none runs (or it logs on with another password) and selects the
  // terminal.
  Outcome Selected(const TerminalEntry &terminal) {
    std::string password = terminal.password.empty() ? device_.password : terminal.password;
    if (worker_.Running() && password != password_) {
      worker_.Stop();
      selected_ = false;
    }
    if (!worker_.Running()) {
      std::vector<std::string> args{"--link", device_.link};
      for (const auto &[option, value] : device_.options) {
        args.push_back(option);
        args.push_back(value);
      }
      if (!password.empty()) args.insert(args.end(), {"--password", password});
      args.insert(args.end(), {"--json", "--no-progress", "--batch", "-", "--stream"});
      std::string error;
      ++result_.attempts;
      if (!worker_.Start(context_.veldc, args, context_.workDir + "/" + device_.name + ".log",
                         &error)) {
        return {false, kWorkerLost, "cannot start the worker: " + error, {}, {}};
      }
      password_ = password;
    }
    if (selected_) return {};
    if (resetAdapter_) {
      // A Pelo adapter whose host died mid-transfer keeps offering the rest of it to whoever
      // comes next; a reset clears that before the terminal is selected again.
      Outcome reset = Call("adapter-reset");
      if (!reset.ok) return reset;
      resetAdapter_ = false;
    }
    Outcome outcome = terminal.address >= 0 ? Call("select " + std::to_string(terminal.address))
                                            : Call("identify");
    if (!outcome.ok) return outcome;
    if (terminal.address < 0) address_ = outcome.reply.value("address", 0);
    selected_ = true;
    return outcome;
  }

  Outcome Call(const std::string &line) {
    Outcome outcome;
    std::string error;
    if (!worker_.Call(line, context_.inventory.commandTimeout, &outcome.reply, &error)) {
      return {false, kWorkerLost, error, {}, {}};
    }
    if (outcome.reply.value("ok", false)) return outcome;
    outcome.ok = false;
    const json &failure = outcome.reply.contains("error") ? outcome.reply["error"] : json();
    outcome.code = failure.is_object() ? failure.value("code", kWorkerLost) : kWorkerLost;
    outcome.message = failure.is_object() ? failure.value("message", std::string("failed"))
                                          : std::string("failed");
    outcome.message = "error " + std::to_string(outcome.code) + ": " + outcome.message;
    if (failure.is_object() && failure.contains("detail") && failure["detail"].is_string()) {
      outcome.detail = failure["detail"].get<std::string>();
      outcome.message += ": " + outcome.detail;
    }
    return outcome;
  }

  // Whether a listing names `file`; entries are "NAME     SIZE" texts or objects with a name.
  static bool Lists(const json &reply, const std::string &file) {
    if (!reply.contains("files") || !reply["files"].is_array()) return false;
    for (const json &entry : reply["files"]) {
      std::string name;
      if (entry.is_object()) {
        name = entry.value("name", std::string());
      } else if (entry.is_string()) {
        std::istringstream words(entry.get<std::string>());
        words >> name;
      }
      std::transform(name.begin(), name.end(), name.begin(), ::toupper);
      if (name == file) return true;
    }
    return false;
  }

  // The uploaded PC file: records each ended by CR LF.
  static bool ReadRecords(const std::string &path, std::vector<std::string> *records) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    for (size_t end; (end = data.find("\r\n", start)) != std::string::npos; start = end + 2) {
      records->push_back(data.substr(start, end - start));
    }
    return start == data.size();
  }

  std::string AddressText(const TerminalEntry &terminal) const {
    return terminal.address >= 0 ? std::to_string(terminal.address) : "default";
  }

  static std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
  }

  void Progress(const std::string &state) {
    if (context_.progress) context_.progress(device_.name, state);
  }

  const RunContext &context_;
  const Device &device_;
  DeviceResult result_;
  Worker worker_;
  std::string password_;
  bool selected_ = false;
  bool resetAdapter_ = false;
  int address_ = 0;  // the terminal the link chose, when the inventory names none
};

}  // namespace

DeviceResult RunDevice(const RunContext &context, const Device &device) {
  return DeviceRunner(context, device).Run();
}

bool Retryable(int code) {
  static const std::set<int> kCodes = {kWorkerLost, 22, 23, 35, 40, 41, 42, 43, 44, 46, 47, 60,
                                       68,          70, 77, 78, 79, 83, 88, 92, 93, 96, 97};
  return kCodes.count(code) != 0;
}

int Checksum(const std::vector<std::string> &records) {
  int32_t sum = 0;
  for (const std::string &record : records) {
    for (char c : record) sum += static_cast<signed char>(c);
  }
  return sum % 32768;
}

bool StartsWith(const std::vector<std::string> &records, const std::vector<std::string> &prefix) {
  return prefix.size() <= records.size() &&
         std::equal(prefix.begin(), prefix.end(), records.begin());
}

}  // namespace veldc::fleet
