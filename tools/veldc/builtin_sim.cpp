#include "builtin_sim.h"

#include <utility>

#include "sim/direct_line.h"
#include "sim/terminal.h"
#include "sim/transport/pty_server.h"

namespace veldc::cli {
namespace {

// What a fresh simulated terminal holds, so every command has something to work on.
void Furnish(sim::Terminal &terminal) {
  terminal.PutFile('C', "BADGES", {"0001234 ANNA BERG", "0001235 JONAS LUND", "0001236 MIA HOLM"});
  terminal.PutFile('C', "SHIFTS", {"MON 0700 1530", "TUE 0700 1530", "WED 0800 1630"});
  terminal.PutFile('A', "README", {"DRIVE A HOLDS THE FACTORY FILES"});
  const std::pair<int, const char *> kParameters[] = {{0, "DOOR-1"}, {1, "ON"},    {2, "30"},
                                                      {3, "BEEP"},   {10, "0800"}, {11, "1630"}};
  for (const auto &[number, value] : kParameters) terminal.SetParameter(number, value);
}

class PtySimulator : public BuiltinSimulator {
 public:
  explicit PtySimulator(const std::string &model)
      : terminal_(model, 0, 'F'), line_(terminal_), server_(line_) {
    Furnish(terminal_);
  }

  bool Start(std::string *error) { return server_.Start(error); }
  const std::string &DevicePath() const override { return server_.SlavePath(); }

 private:
  sim::Terminal terminal_;
  sim::DirectLine line_;
  sim::PtyServer server_;  // last, so it stops before the models it serves go
};

}  // namespace

bool KnownModel(const std::string &model) {
  return model == "Veld" || model == "Sorvik" || model == "Dulm" || model == "Qyr";
}

std::unique_ptr<BuiltinSimulator> BuiltinSimulator::Start(const std::string &model,
                                                          std::string *error) {
  if (!KnownModel(model)) {
    *error = "unknown model " + model;
    return nullptr;
  }
  auto simulator = std::make_unique<PtySimulator>(model);
  if (!simulator->Start(error)) return nullptr;
  return simulator;
}

}  // namespace veldc::cli
