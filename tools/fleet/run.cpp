#include "run.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "device_run.h"
#include "store.h"

namespace veldc::fleet {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kRedraw = std::chrono::milliseconds(250);
constexpr auto kHeldRetry = std::chrono::seconds(1);

// What every device is doing, shown live on a terminal or as plain lines otherwise.
class Board {
 public:
  Board(const std::vector<const Device *> &devices, bool live, std::FILE *err)
      : live_(live), err_(err) {
    for (const Device *device : devices) {
      order_.push_back(device->name);
      states_[device->name] = "queued";
    }
    if (live_) drawer_ = std::thread([this] { Draw(); });
  }
  ~Board() { Finish(); }

  void Set(const std::string &device, const std::string &state, bool plainLine) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_[device] = state;
    if (!live_ && plainLine) std::fprintf(err_, "%s: %s\n", device.c_str(), state.c_str());
  }

  void Line(const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!live_) std::fprintf(err_, "%s\n", text.c_str());
  }

  void Finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
      stop_ = true;
    }
    wake_.notify_all();
    if (drawer_.joinable()) drawer_.join();
  }

 private:
  void Draw() {
    std::unique_lock<std::mutex> lock(mutex_);
    int drawn = 0;
    for (;;) {
      winsize size{};
      int rows = ioctl(fileno(err_), TIOCGWINSZ, &size) == 0 && size.ws_row > 4 ? size.ws_row : 24;
      int width = size.ws_col > 20 ? size.ws_col : 100;
      std::string frame;
      for (int i = 0; i < drawn; ++i) frame += "\x1b[1A\x1b[2K";
      int done = 0, failed = 0, active = 0;
      std::vector<std::string> lines;
      for (const std::string &name : order_) {
        const std::string &state = states_[name];
        bool finished = state.rfind("done", 0) == 0 || state.rfind("failed", 0) == 0;
        done += finished;
        failed += state.rfind("failed", 0) == 0;
        active += !finished && state != "queued";
        // With more devices than rows, only those being worked on get a line.
        if (order_.size() + 2 <= static_cast<size_t>(rows) || (!finished && state != "queued")) {
          std::string line = name + "  " + state;
          if (line.size() > static_cast<size_t>(width - 1)) line.resize(width - 1);
          lines.push_back(line);
        }
      }
      if (lines.size() + 2 > static_cast<size_t>(rows)) lines.resize(rows - 2);
      lines.insert(lines.begin(), std::to_string(done) + "/" + std::to_string(order_.size()) +
                                      " devices finished, " + std::to_string(failed) + " failed, " +
                                      std::to_string(active) + " at work");
      for (const std::string &line : lines) frame += line + "\n";
      std::fputs(frame.c_str(), err_);
      std::fflush(err_);
      drawn = static_cast<int>(lines.size());
      if (stop_) return;
      wake_.wait_for(lock, kRedraw);
    }
  }

  bool live_;
  std::FILE *err_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::vector<std::string> order_;
  std::map<std::string, std::string> states_;
  std::thread drawer_;
};

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "?";
  return name;
}

std::string SelfPath() {
  char path[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : "veldc";
}

json Report(const DeviceResult &d) {
  json terminals = json::array();
  for (const TerminalResult &t : d.terminals) {
    json jobs = json::array();
    for (const JobResult &j : t.jobs) {
      json job = {{"job", j.job}, {"ok", j.ok}, {"attempts", j.attempts}, {"records", j.records}};
      if (!j.ok) job["error"] = {{"code", j.code}, {"message", j.message}};
      jobs.push_back(job);
    }
    terminals.push_back(
        {{"address", t.address}, {"ok", t.ok}, {"records", t.records}, {"jobs", jobs}});
  }
  json out = {{"device", d.name},     {"ok", d.ok},
              {"records", d.records}, {"workers_started", d.attempts},
              {"seconds", d.seconds}, {"terminals", terminals}};
  if (d.doneByOther) out["done_by_another_collector"] = true;
  if (!d.message.empty()) out["message"] = d.message;
  return out;
}

void Summary(const std::vector<DeviceResult> &results, std::FILE *out) {
  size_t width = 6;
  for (const DeviceResult &d : results) width = std::max(width, d.name.size());
  std::fprintf(out, "%-*s  %-6s  %9s  %7s  %7s  %8s  %s\n", static_cast<int>(width), "device",
               "result", "terminals", "records", "workers", "seconds", "message");
  for (const DeviceResult &d : results) {
    int good = 0;
    std::string message = d.message;
    for (const TerminalResult &t : d.terminals) {
      good += t.ok;
      for (const JobResult &j : t.jobs) {
        if (!j.ok && message.empty()) {
          message = "terminal " + std::to_string(t.address) + ": " + j.job + ": " + j.message;
        }
      }
    }
    std::string terminals = std::to_string(good) + "/" + std::to_string(d.terminals.size());
    std::fprintf(out, "%-*s  %-6s  %9s  %7d  %7d  %8.1f  %s\n", static_cast<int>(width),
                 d.name.c_str(),
                 d.doneByOther ? "other"
                 : d.ok        ? "ok"
                               : "FAILED",
                 terminals.c_str(), d.records, d.attempts, d.seconds, message.c_str());
  }
}

}  // namespace

int RunFleet(const Inventory &inventory, const RunOptions &options, std::FILE *out,
             std::FILE *err) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<const Device *> devices;
  for (const Device &device : inventory.devices) {
    if (options.only.empty() ||
        std::find(options.only.begin(), options.only.end(), device.name) != options.only.end()) {
      devices.push_back(&device);
    }
  }
  std::unique_ptr<Store> store;
  int64_t run = 0;
  std::string since = UtcNow();
  try {
    store = Store::Open(inventory.store);
    run = store->BeginRun(HostName(), static_cast<int>(getpid()), inventory.path);
  } catch (const StoreError &e) {
    std::fprintf(err, "veldc fleet: %s\n", e.what());
    return kStoreFailed;
  }
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/veldc-fleet-XXXXXX";
  std::vector<char> workDir(pattern.begin(), pattern.end());
  workDir.push_back('\0');
  if (mkdtemp(workDir.data()) == nullptr) {
    std::fprintf(err, "veldc fleet: cannot make a folder like %s\n", pattern.c_str());
    return kStoreFailed;
  }

  std::mutex storeMutex;
  Board board(devices, isatty(fileno(err)) != 0, err);
  RunContext context{inventory, *store, storeMutex, run, workDir.data(), SelfPath(), {}, {}};
  context.progress = [&board](const std::string &device, const std::string &state) {
    board.Set(device, state, state.find("; retry in") != std::string::npos);
  };
  context.finished = [&board](const std::string &device, int terminal, const JobResult &job) {
    std::string where = terminal >= 0 ? "terminal " + std::to_string(terminal) : "terminal";
    std::string what = job.ok ? "ok" : "FAILED: " + job.message;
    if (job.ok && job.records > 0) what += " (" + std::to_string(job.records) + " records)";
    board.Line(device + ": " + where + ": " + job.job + ": " + what);
  };

  // The holder renews its leases while it works, so a long device is never taken from it.
  std::mutex renewMutex;
  std::condition_variable renewWake;
  bool finished = false;
  std::thread renewer([&] {
    std::unique_lock<std::mutex> lock(renewMutex);
    auto every = std::chrono::milliseconds(inventory.lease * 1000 / 3);
    while (!renewWake.wait_for(lock, every, [&] { return finished; })) {
      try {
        std::lock_guard<std::mutex> storeLock(storeMutex);
        store->RenewLeases(run, inventory.lease);
      } catch (const StoreError &e) {
        board.Line(std::string("veldc fleet: cannot renew the leases: ") + e.what());
      }
    }
  });

  std::deque<const Device *> remaining(devices.begin(), devices.end());
  std::map<std::string, DeviceResult> results;
  std::mutex schedule;
  std::set<std::string> waited;
  std::map<std::string, int> claimFailures;
  std::map<std::string, Clock::time_point> notBefore;
  auto slot = [&] {
    for (;;) {
      const Device *mine = nullptr;
      {
        std::lock_guard<std::mutex> lock(schedule);
        if (remaining.empty()) return;
        for (auto it = remaining.begin(); it != remaining.end() && mine == nullptr;) {
          if (Clock::now() < notBefore[(*it)->name]) {
            ++it;
            continue;
          }
          Claim claim = Claim::kHeld;
          std::string failure;
          try {
            std::lock_guard<std::mutex> storeLock(storeMutex);
            claim = store->ClaimDevice(run, (*it)->name, inventory.lease, since);
          } catch (const StoreError &e) {
            failure = e.what();
          }
          // A store that cannot be reached may come back (a restarted server): the claim is
          // tried again, as a retryable failure is, before the device counts as failed.
          if (!failure.empty() && ++claimFailures[(*it)->name] <= inventory.retries) {
            board.Set((*it)->name, "waiting for the store: " + failure, true);
            notBefore[(*it)->name] =
                Clock::now() +
                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                    inventory.retryDelay * (1 << claimFailures[(*it)->name])));
            ++it;
            continue;
          }
          if (!failure.empty() || claim == Claim::kDoneByOther) {
            DeviceResult &result = results[(*it)->name];
            result.name = (*it)->name;
            result.ok = failure.empty();
            result.doneByOther = failure.empty();
            result.message = failure.empty() ? "done by another collector during this run"
                                             : "cannot claim it: " + failure;
            board.Set(result.name, (result.ok ? "done: " : "failed: ") + result.message, true);
            it = remaining.erase(it);
          } else if (claim == Claim::kTaken) {
            mine = *it;
            remaining.erase(it);
          } else {
            board.Set((*it)->name, "waiting: another collector holds it",
                      waited.insert((*it)->name).second);
            ++it;
          }
        }
        if (mine == nullptr && remaining.empty()) return;
      }
      if (mine == nullptr) {
        std::this_thread::sleep_for(kHeldRetry);
        continue;
      }
      board.Set(mine->name, "claimed", true);
      DeviceResult result = RunDevice(context, *mine);
      try {
        std::lock_guard<std::mutex> storeLock(storeMutex);
        store->ReleaseDevice(run, mine->name, result.ok);
      } catch (const StoreError &e) {
        board.Line(mine->name + ": cannot release its claim: " + e.what());
      }
      board.Set(mine->name,
                std::string(result.ok ? "done" : "failed") + ", " + std::to_string(result.records) +
                    " records",
                true);
      std::lock_guard<std::mutex> lock(schedule);
      results[mine->name] = result;
    }
  };
  int parallel = options.parallel > 0 ? options.parallel : static_cast<int>(devices.size());
  parallel = std::max(1, std::min({parallel, kMaxParallel, static_cast<int>(devices.size())}));
  std::vector<std::thread> slots;
  for (int i = 0; i < parallel; ++i) slots.emplace_back(slot);
  for (std::thread &thread : slots) thread.join();
  {
    std::lock_guard<std::mutex> lock(renewMutex);
    finished = true;
  }
  renewWake.notify_all();
  renewer.join();
  board.Finish();

  bool ok = true;
  std::vector<DeviceResult> ordered;
  for (const Device *device : devices) {
    ordered.push_back(results[device->name]);
    ok = ok && ordered.back().ok;
  }
  try {
    store->EndRun(run, ok);
  } catch (const StoreError &e) {
    std::fprintf(err, "veldc fleet: cannot record the run's end: %s\n", e.what());
    ok = false;
  }
  if (options.json) {
    json list = json::array();
    int records = 0;
    for (const DeviceResult &d : ordered) {
      list.push_back(Report(d));
      records += d.records;
    }
    json report = {{"run", run}, {"started", since},   {"ended", UtcNow()},
                   {"ok", ok},   {"records", records}, {"devices", list}};
    std::fprintf(out, "%s\n", report.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
  } else {
    Summary(ordered, out);
  }
  std::fflush(out);
  if (ok) {
    std::filesystem::remove_all(workDir.data());
  } else {
    std::fprintf(err, "veldc fleet: the workers' logs are in %s\n", workDir.data());
  }
  return ok ? 0 : kJobsFailed;
}

}  // namespace veldc::fleet
