// veldc-sim --save: a load is written only directly inside the save directory, whatever its
// terminal name holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "files.h"
#include "sim/terminal.h"

namespace veldc::simtool {
namespace {

namespace fs = std::filesystem;

TEST(SimSave, LoadsNeverLeaveTheSaveDirectory) {
  const fs::path base = fs::temp_directory_path() / ("veldc-save-" + std::to_string(getpid()));
  const fs::path dir = base / "a" / "save";
  fs::create_directories(dir);
  std::ofstream(base / "X1") << "keep";
  sim::Terminal terminal;
  for (const char *name : {"../EVIL", "../../X1", "/ABS", "A/B", "..", ".", "GOOD", "..GOOD"}) {
    terminal.Handle(std::string("LOAD ") + name, 0);
    terminal.Handle("R1", 0);
    terminal.Handle("\x04", 0);
  }
  size_t saved = 0;
  EXPECT_TRUE(SaveLoads(dir.string(), terminal, &saved));
  EXPECT_EQ(saved, 8u);
  std::set<std::string> files;
  for (const auto &entry : fs::recursive_directory_iterator(base)) {
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), base).string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"X1", "a/save/GOOD", "a/save/..GOOD"}));
  std::ifstream kept(base / "X1");
  std::stringstream text;
  text << kept.rdbuf();
  EXPECT_EQ(text.str(), "keep");
  fs::remove_all(base);
}

}  // namespace
}  // namespace veldc::simtool
