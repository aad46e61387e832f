// The fleet's inventory: where the store is, which devices and terminals there are, and the
// jobs run on every terminal. Read from TOML and judged whole before anything is opened.
#pragma once

#include <string>
#include <vector>

namespace veldc::fleet {

struct TerminalEntry {
  int address = -1;  // -1: the link's usual terminal
  std::string password;
};

struct Device {
  std::string name;
  int line = 0;  // where the inventory names it
  std::string link;
  // The CLI options the worker is started with, as (option, value).
  std::vector<std::pair<std::string, std::string>> options;
  std::string password;  // for terminals that give none
  std::vector<TerminalEntry> terminals;
};

enum class JobKind { kCollect, kSyncClock, kDownload, kProgram, kSetParams };

struct Job {
  JobKind kind = JobKind::kCollect;
  std::string file;  // terminal file (collect) or PC file (the others), made absolute
  std::string to;    // terminal file of a download; empty: named after the PC file
  int line = 0;
};

struct Inventory {
  std::string path;
  std::string store;              // a SQLite file path or a postgresql:// URL
  int lease = 60;                 // seconds
  int retries = 2;                // extra attempts for a retryable failure
  double retryDelay = 1.0;        // seconds before the first retry; doubled each time
  double commandTimeout = 600.0;  // seconds a worker may take over one command
  std::vector<Device> devices;
  std::vector<Job> jobs;
};

// Reads and checks the inventory. False with `error` as "FILE:LINE: what" on any mistake.
bool LoadInventory(const std::string &path, Inventory *inventory, std::string *error);

// A short text naming a job, like "collect TRANS".
std::string JobName(const Job &job);

}  // namespace veldc::fleet
