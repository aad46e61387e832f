#include "files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace veldc::simtool {

namespace {

bool TerminalName(const std::string &name, std::string *upper) {
  if (name.empty() || name.size() > 8) return false;
  upper->clear();
  for (unsigned char c : name) {
    if (c < 0x21 || c > 0x7E) return false;
    *upper += static_cast<char>(std::toupper(c));
  }
  return true;
}

std::vector<std::string> Records(const std::string &data) {
  std::vector<std::string> records;
  std::string record;
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '\r' || data[i] == '\n') {
      records.push_back(record);
      record.clear();
      if (data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ++i;
    } else {
      record += data[i];
    }
  }
  if (!record.empty()) records.push_back(record);
  return records;
}

// A terminal file name may hold '/' and '.': only a name that stays directly inside the save
// directory is written there ("../X", "/X" or ".." would land elsewhere).
bool PlainFileName(const std::string &name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

}  // namespace

int LoadFiles(const std::string &dir, sim::Terminal *terminal) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int count = 0;
  while (dirent *entry = readdir(d)) {
    std::string name;
    const std::string path = dir + "/" + entry->d_name;
    struct stat st {};
    if (!TerminalName(entry->d_name, &name) || stat(path.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode)) {
      continue;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    terminal->PutFile('C', name, Records(data.str()));
    ++count;
  }
  closedir(d);
  return count;
}

bool SaveLoads(const std::string &dir, const sim::Terminal &terminal, size_t *saved) {
  const auto &loads = terminal.CompletedLoads();
  bool ok = true;
  for (; *saved < loads.size(); ++*saved) {
    const sim::Terminal::CompletedLoad &load = loads[*saved];
    const std::vector<std::string> *records = &terminal.Program();
    if (!load.program) {
      const auto &files = terminal.Files(load.drive);
      auto it = files.find(load.name);
      if (it == files.end()) continue;  // deleted again before we looked
      if (!PlainFileName(load.name)) {
        std::fprintf(stderr, "veldc-sim: not saved: \"%s\" is no plain file name\n",
                     load.name.c_str());
        continue;
      }
      records = &it->second.records;
    }
    std::ofstream out(dir + "/" + (load.program ? std::string("PROGRAM") : load.name),
                      std::ios::binary | std::ios::trunc);
    for (const std::string &record : *records) out << record << "\r\n";
    ok = ok && out.good();
  }
  return ok;
}

}  // namespace veldc::simtool
