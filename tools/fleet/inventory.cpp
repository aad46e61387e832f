#include "inventory.h"

#include <toml++/toml.h>
#include <unistd.h>

#include <map>
#include <set>

#include "link.h"
#include "text_args.h"

namespace veldc::fleet {
namespace {

// A mistake found in the file, with the line it is on.
struct Mistake {
  int line;
  std::string what;
};

int LineOf(const toml::node &node) { return static_cast<int>(node.source().begin.line); }

std::string Directory(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string Absolute(const std::string &dir, const std::string &path) {
  return path.empty() || path[0] == '/' ? path : dir + "/" + path;
}

std::string Text(const toml::node &node, const std::string &key) {
  if (!node.is_string()) throw Mistake{LineOf(node), key + " must be a text in quotes"};
  return std::string(*node.value<std::string_view>());
}

int Number(const toml::node &node, const std::string &key, int low, int high) {
  auto value = node.value<int64_t>();
  if (!node.is_integer() || *value < low || *value > high) {
    throw Mistake{LineOf(node), key + " must be a whole number from " + std::to_string(low) +
                                    " to " + std::to_string(high)};
  }
  return static_cast<int>(*value);
}

double Seconds(const toml::node &node, const std::string &key) {
  auto value = node.value<double>();
  if (!(node.is_integer() || node.is_floating_point()) || *value <= 0 || *value > 86400) {
    throw Mistake{LineOf(node), key + " must be a number of seconds above 0"};
  }
  return *value;
}

std::string Password(const toml::node &node) {
  std::string text = Text(node, "password");
  if (text.empty() || text.size() > 5)
    throw Mistake{LineOf(node), "password has 1 to 5 characters"};
  return text;
}

std::vector<TerminalEntry> Terminals(const toml::node &node) {
  const toml::array *list = node.as_array();
  if (list == nullptr || list->empty()) {
    throw Mistake{LineOf(node), "terminals must be a list of addresses, like [1, 2]"};
  }
  std::vector<TerminalEntry> terminals;
  std::set<int> seen;
  for (const toml::node &item : *list) {
    TerminalEntry entry;
    if (const toml::table *table = item.as_table()) {
      for (const auto &[key, value] : *table) {
        if (key == "address") {
          entry.address = Number(value, "address", 0, 254);
        } else if (key == "password") {
          entry.password = Password(value);
        } else {
          throw Mistake{LineOf(value), "unknown terminal key \"" + std::string(key.str()) +
                                           "\" (address, password)"};
        }
      }
      if (entry.address < 0) throw Mistake{LineOf(item), "a terminal needs its address"};
    } else {
      entry.address = Number(item, "a terminal address", 0, 254);
    }
    if (!seen.insert(entry.address).second) {
      throw Mistake{LineOf(item), "terminal " + std::to_string(entry.address) + " is listed twice"};
    }
    terminals.push_back(entry);
  }
  return terminals;
}

// One device key (also allowed under [defaults]); false when `key` is not one.
bool DeviceKey(const std::string &key, const toml::node &value, Device *device) {
  static const std::map<std::string, std::pair<std::string, std::pair<int, int>>> kNumbers = {
      {"speed", {"--speed", {0, 115200}}},
      {"timeout", {"--timeout", {1, 3600}}},
      {"pelo-timeout", {"--pelo-timeout", {1, 32767}}},
      {"dial-timeout", {"--dial-timeout", {1, 120}}},
  };
  auto number = kNumbers.find(key);
  if (number != kNumbers.end()) {
    int v = Number(value, key, number->second.second.first, number->second.second.second);
    device->options.emplace_back(number->second.first, std::to_string(v));
  } else if (key == "link") {
    device->link = Text(value, key);
    cli::LinkSpec spec;
    std::string error;
    if (!cli::ParseLink(device->link, &spec, &error)) throw Mistake{LineOf(value), error};
  } else if (key == "format") {
    std::string text =
        value.is_integer() ? std::to_string(*value.value<int64_t>()) : Text(value, key);
    int format = 0;
    std::string error;
    if (!cli::ParseFormat(text, &format, &error)) throw Mistake{LineOf(value), error};
    device->options.emplace_back("--format", text);
  } else if (key == "dial" || key == "dial-init") {
    device->options.emplace_back("--" + key, Text(value, key));
  } else if (key == "password") {
    device->password = Password(value);
  } else if (key == "terminals") {
    device->terminals = Terminals(value);
  } else {
    return false;
  }
  return true;
}

const char kDeviceKeys[] =
    "name, link, terminals, speed, format, timeout, pelo-timeout, dial, dial-init, dial-timeout, "
    "password";

Device ReadDevice(const toml::table &table, const Device &defaults) {
  Device device = defaults;
  device.line = LineOf(table);
  std::set<std::string> given;
  for (const auto &[key, value] : table) {
    std::string name(key.str());
    if (name == "name") {
      device.name = Text(value, "name");
      if (device.name.empty()) throw Mistake{LineOf(value), "a device name cannot be empty"};
      continue;
    }
    // A device's own value replaces the default's rather than adding to it.
    Device own;
    if (!DeviceKey(name, value, &own)) {
      throw Mistake{LineOf(value), "unknown device key \"" + name + "\" (" + kDeviceKeys + ")"};
    }
    if (!own.link.empty()) device.link = own.link;
    if (!own.password.empty()) device.password = own.password;
    if (!own.terminals.empty()) device.terminals = own.terminals;
    for (const auto &option : own.options) {
      auto &options = device.options;
      for (auto it = options.begin(); it != options.end();) {
        it = it->first == option.first ? options.erase(it) : it + 1;
      }
      options.push_back(option);
    }
  }
  if (device.name.empty()) throw Mistake{device.line, "a device needs a name"};
  if (device.link.empty()) throw Mistake{device.line, "device " + device.name + " has no link"};
  if (device.terminals.empty()) device.terminals.push_back(TerminalEntry{});
  return device;
}

void Readable(const std::string &path, int line) {
  if (access(path.c_str(), R_OK) != 0) throw Mistake{line, "cannot read " + path};
}

Job ReadJob(const toml::table &table, const std::string &dir) {
  Job job;
  job.line = LineOf(table);
  int actions = 0;
  for (const auto &[key, value] : table) {
    std::string name(key.str());
    if (name == "collect") {
      job.kind = JobKind::kCollect;
      job.file = Text(value, name);
      if (job.file.empty() || job.file.size() > 8) {
        throw Mistake{LineOf(value), "collect names a terminal file of 1 to 8 characters"};
      }
      for (char &c : job.file) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    } else if (name == "sync-clock") {
      if (!value.is_boolean() || !*value.value<bool>()) {
        throw Mistake{LineOf(value), "sync-clock takes true"};
      }
      job.kind = JobKind::kSyncClock;
    } else if (name == "download" || name == "program" || name == "set-params") {
      job.kind = name == "download"  ? JobKind::kDownload
                 : name == "program" ? JobKind::kProgram
                                     : JobKind::kSetParams;
      job.file = Absolute(dir, Text(value, name));
      Readable(job.file, LineOf(value));
    } else if (name == "to") {
      job.to = Text(value, name);
      if (job.to.empty() || job.to.size() > 8) {
        throw Mistake{LineOf(value), "to names a terminal file of 1 to 8 characters"};
      }
      continue;
    } else {
      throw Mistake{LineOf(value), "unknown job key \"" + name +
                                       "\" (collect, sync-clock, download, to, program, "
                                       "set-params)"};
    }
    ++actions;
  }
  if (actions != 1) {
    throw Mistake{job.line,
                  "a job does one thing: collect, sync-clock, download, program or "
                  "set-params"};
  }
  if (!job.to.empty() && job.kind != JobKind::kDownload) {
    throw Mistake{job.line, "to belongs to a download"};
  }
  return job;
}

const toml::table &Table(const toml::node &node, const std::string &what) {
  if (!node.is_table()) throw Mistake{LineOf(node), what + " must be a table"};
  return *node.as_table();
}

void Read(const toml::table &root, const std::string &dir, Inventory *inventory) {
  Device defaults;
  if (const toml::node *node = root.get("defaults")) {
    for (const auto &[key, value] : Table(*node, "[defaults]")) {
      std::string name(key.str());
      if (name == "name" || !DeviceKey(name, value, &defaults)) {
        throw Mistake{LineOf(value), "unknown defaults key \"" + name + "\""};
      }
    }
  }
  std::map<std::string, int> names;
  for (const auto &[key, value] : root) {
    std::string name(key.str());
    if (name == "store") {
      inventory->store = Text(value, name);
      if (inventory->store.empty()) throw Mistake{LineOf(value), "store cannot be empty"};
    } else if (name == "lease") {
      inventory->lease = Number(value, name, 2, 86400);
    } else if (name == "retries") {
      inventory->retries = Number(value, name, 0, 20);
    } else if (name == "retry-delay") {
      inventory->retryDelay = Seconds(value, name);
    } else if (name == "command-timeout") {
      inventory->commandTimeout = Seconds(value, name);
    } else if (name == "defaults") {
      continue;
    } else if (name == "device" || name == "job") {
      const toml::array *list = value.as_array();
      if (list == nullptr || !list->is_array_of_tables()) {
        throw Mistake{LineOf(value), name + " must be written [[" + name + "]]"};
      }
      for (const toml::node &item : *list) {
        if (name == "job") {
          inventory->jobs.push_back(ReadJob(*item.as_table(), dir));
          continue;
        }
        Device device = ReadDevice(*item.as_table(), defaults);
        auto [it, fresh] = names.emplace(device.name, device.line);
        if (!fresh) {
          throw Mistake{device.line, "device name \"" + device.name +
                                         "\" is already used on line " +
                                         std::to_string(it->second)};
        }
        inventory->devices.push_back(device);
      }
    } else {
      throw Mistake{LineOf(value), "unknown key \"" + name +
                                       "\" (store, lease, retries, retry-delay, command-timeout, "
                                       "[defaults], [[device]], [[job]])"};
    }
  }
  if (inventory->devices.empty()) throw Mistake{1, "no [[device]] in the inventory"};
  if (inventory->jobs.empty()) throw Mistake{1, "no [[job]] in the inventory"};
}

}  // namespace

bool LoadInventory(const std::string &path, Inventory *inventory, std::string *error) {
  *inventory = Inventory{};
  inventory->path = path;
  std::string dir = Directory(path);
  try {
    toml::table root = toml::parse_file(path);
    Read(root, dir, inventory);
  } catch (const toml::parse_error &e) {
    int line = static_cast<int>(e.source().begin.line);
    *error = path + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " +
             std::string(e.description());
    return false;
  } catch (const Mistake &m) {
    *error = path + ":" + std::to_string(m.line) + ": " + m.what;
    return false;
  }
  if (inventory->store.empty()) inventory->store = "veldc-fleet.db";
  if (inventory->store.rfind("postgresql:", 0) != 0 &&
      inventory->store.rfind("postgres:", 0) != 0) {
    inventory->store = Absolute(dir, inventory->store);
  }
  return true;
}

std::string JobName(const Job &job) {
  auto base = [](const std::string &path) { return path.substr(path.find_last_of('/') + 1); };
  switch (job.kind) {
    case JobKind::kCollect:
      return "collect " + job.file;
    case JobKind::kSyncClock:
      return "sync-clock";
    case JobKind::kDownload:
      return "download " + base(job.file) + (job.to.empty() ? "" : " to " + job.to);
    case JobKind::kProgram:
      return "program " + base(job.file);
    case JobKind::kSetParams:
      return "set-params " + base(job.file);
  }
  return "?";
}

}  // namespace veldc::fleet
