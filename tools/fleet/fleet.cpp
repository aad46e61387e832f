#include "fleet.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "inventory.h"
#include "report.h"
#include "run.h"
#include "store.h"

namespace veldc::fleet {
namespace {

constexpr int kUsage = 100;  // as the CLI's bad usage

constexpr const char kDescription[] =
    "veldc fleet: run jobs on every terminal of many devices at once, one worker process\n"
    "(veldc --batch - --json) per device, and keep every collected record exactly once in a\n"
    "store (SQLite, or PostgreSQL shared by several collectors).";

constexpr const char kFooter[] =
    "Inventory (TOML):\n"
    "  store = \"collected.db\"          # or \"postgresql://user@host/db\"; default\n"
    "                                  # veldc-fleet.db beside the inventory\n"
    "  lease = 60                      # seconds a claimed device stays claimed unrenewed\n"
    "  retries = 2                     # more attempts after a retryable failure\n"
    "  retry-delay = 1                 # seconds before the first retry, doubled each time\n"
    "  command-timeout = 600           # seconds a worker may take over one command\n"
    "  [defaults]                      # any device key\n"
    "  speed = 9600\n"
    "  [[device]]\n"
    "  name = \"gate-north\"\n"
    "  link = \"network:/dev/ttyUSB0\"   # as veldc --link takes it\n"
    "  terminals = [1, 2, { address = 12, password = \"80264\" }]\n"
    "  # also: format, timeout, pelo-timeout, dial, dial-init, dial-timeout, password\n"
    "  [[job]]\n"
    "  collect = \"TRANS\"               # upload, store, then delete on the terminal\n"
    "  [[job]]\n"
    "  sync-clock = true\n"
    "  [[job]]\n"
    "  download = \"badges.txt\"         # or program = \"x.prg\"\n"
    "  to = \"BADGES\"\n"
    "  [[job]]\n"
    "  set-params = \"params.txt\"\n"
    "\n"
    "Examples:\n"
    "  veldc fleet run sites.toml --parallel 20\n"
    "  veldc fleet run sites.toml --only gate-north --json > report.json\n"
    "  veldc fleet records sites.toml --since 2026-12-01 > punches.csv\n"
    "  veldc fleet status sites.toml\n"
    "\n"
    "Exit status: 0 when every job on every terminal succeeded; 1 when any failed; 2 when the\n"
    "store could not be opened; 100 for bad usage or a mistake in the inventory.";

// A CSV field, quoted when it holds a comma, a quote or a line end.
std::string Csv(const std::string &text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::unique_ptr<Store> OpenFor(const Inventory &inventory, int *status) {
  try {
    return Store::Open(inventory.store);
  } catch (const StoreError &e) {
    std::fprintf(stderr, "veldc fleet: %s\n", e.what());
    *status = kStoreFailed;
    return nullptr;
  }
}

int Records(const Inventory &inventory, const RecordFilter &filter, const std::string &format) {
  int status = 0;
  auto store = OpenFor(inventory, &status);
  if (!store) return status;
  try {
    std::vector<RecordRow> rows = store->Records(filter);
    if (format == "csv") std::printf("device,terminal,file,batch,seq,collected_at,text\n");
    for (const RecordRow &r : rows) {
      if (format == "csv") {
        std::printf("%s,%d,%s,%lld,%d,%s,%s\n", Csv(r.device).c_str(), r.terminal,
                    Csv(r.file).c_str(), static_cast<long long>(r.batch), r.seq,
                    r.collectedAt.c_str(), Csv(r.text).c_str());
      } else {
        nlohmann::json line = {{"device", r.device},
                               {"terminal", r.terminal},
                               {"file", r.file},
                               {"batch", r.batch},
                               {"seq", r.seq},
                               {"collected_at", r.collectedAt},
                               {"text", cli::TerminalText(r.text)}};
        std::printf("%s\n", line.dump().c_str());
      }
    }
  } catch (const StoreError &e) {
    std::fprintf(stderr, "veldc fleet: %s\n", e.what());
    return kStoreFailed;
  }
  return 0;
}

int Status(const Inventory &inventory, bool json) {
  int status = 0;
  auto store = OpenFor(inventory, &status);
  if (!store) return status;
  try {
    std::vector<StatusRow> rows = store->Status();
    if (!json) {
      std::printf("%-16s  %8s  %5s  %-24s  %-6s  %7s  %s\n", "device", "terminal", "run", "at",
                  "result", "records", "message");
    }
    for (const StatusRow &r : rows) {
      if (json) {
        nlohmann::json line = {
            {"device", r.device}, {"terminal", r.terminal}, {"run", r.run},        {"at", r.at},
            {"ok", r.ok},         {"records", r.records},   {"message", r.message}};
        if (!r.holder.empty()) line["held_by_run"] = std::stoll(r.holder);
        std::printf("%s\n",
                    line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        continue;
      }
      std::string message = r.message;
      if (!r.holder.empty()) message = "(held by run " + r.holder + ") " + message;
      std::printf("%-16s  %8d  %5lld  %-24s  %-6s  %7d  %s\n", r.device.c_str(), r.terminal,
                  static_cast<long long>(r.run), r.at.c_str(), r.ok ? "ok" : "FAILED", r.records,
                  message.c_str());
    }
  } catch (const StoreError &e) {
    std::fprintf(stderr, "veldc fleet: %s\n", e.what());
    return kStoreFailed;
  }
  return 0;
}

}  // namespace

int Main(int argc, char **argv) {
  CLI::App app{kDescription, "veldc fleet"};
  app.footer(kFooter);
  app.require_subcommand(1);
  std::string path;
  std::string store;
  RunOptions options;

  CLI::App *run = app.add_subcommand("run", "Run the inventory's jobs on every device");
  run->add_option("inventory", path, "The inventory file (TOML)")->required();
  run->add_option("--parallel", options.parallel,
                  "Devices at work at once (default all, at most 256)")
      ->check(CLI::Range(1, kMaxParallel));
  run->add_option("--only", options.only, "Only these devices (names; repeatable)");
  run->add_flag("--json", options.json, "Print the report as one JSON object, not a table");
  run->add_option("--store", store, "Use this store instead of the inventory's");

  RecordFilter filter;
  std::string format = "csv";
  CLI::App *records = app.add_subcommand("records", "Export what was collected");
  records->add_option("inventory", path, "The inventory file (TOML)")->required();
  records->add_option("--device", filter.device, "Only this device");
  records->add_option("--terminal", filter.terminal, "Only this terminal address");
  records->add_option("--since", filter.since,
                      "Only records collected at or after this UTC time (2026-12-01T18:00:00Z)");
  records->add_option("--format", format, "csv (default) or json (one object per line)")
      ->check(CLI::IsMember({"csv", "json"}));
  records->add_option("--store", store, "Use this store instead of the inventory's");

  bool statusJson = false;
  CLI::App *status = app.add_subcommand("status", "Show the last run per device and terminal");
  status->add_option("inventory", path, "The inventory file (TOML)")->required();
  status->add_flag("--json", statusJson, "One JSON object per line");
  status->add_option("--store", store, "Use this store instead of the inventory's");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    std::fprintf(stderr, "veldc fleet: %s (try veldc fleet --help)\n", e.what());
    return kUsage;
  }
  Inventory inventory;
  std::string error;
  if (!LoadInventory(path, &inventory, &error)) {
    std::fprintf(stderr, "veldc fleet: %s\n", error.c_str());
    return kUsage;
  }
  if (!store.empty()) inventory.store = store;
  if (*run) {
    for (const std::string &name : options.only) {
      bool known = false;
      for (const Device &device : inventory.devices) known = known || device.name == name;
      if (!known) {
        std::fprintf(stderr, "veldc fleet: no device \"%s\" in %s\n", name.c_str(), path.c_str());
        return kUsage;
      }
    }
    return RunFleet(inventory, options, stdout, stderr);
  }
  if (*records) return Records(inventory, filter, format);
  return Status(inventory, statusJson);
}

}  // namespace veldc::fleet
