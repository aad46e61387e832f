#include "builtin_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim/direct_line.h"
#include "sim/terminal.h"

namespace veldc::cli {
namespace {

// What a fresh simulated terminal holds, so every command has something to work on.
void Furnish(sim::Terminal &terminal) {
  terminal.PutFile('C', "BADGES", {"0001234 ANNA BERG", "0001235 JONAS LUND", "0001236 MIA HOLM"});
  terminal.PutFile('C', "SHIFTS", {"MON 0700 1530", "TUE 0700 1530", "WED 0800 1630"});
  terminal.PutFile('A', "README", {"DRIVE A HOLDS THE FACTORY FILES"});
  const char *const kParameters[][2] = {{"0", "DOOR-1"}, {"1", "ON"},    {"2", "30"},
                                        {"3", "BEEP"},   {"10", "0800"}, {"11", "1630"}};
  for (const auto &[number, value] : kParameters) terminal.SetParameter(std::stoi(number), value);
}

class PtySimulator : public BuiltinSimulator {
 public:
  PtySimulator(const std::string &model, int master, int slave, std::string path)
      : terminal_(model, 0, 'F'),
        line_(terminal_),
        master_(master),
        slave_(slave),
        path_(std::move(path)) {
    Furnish(terminal_);
    start_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] { Serve(); });
  }

  ~PtySimulator() override {
    stop_ = true;
    thread_.join();
    close(master_);
    close(slave_);
  }

  const std::string &DevicePath() const override { return path_; }

 private:
  sim::Micros Now() const {
    return static_cast<sim::Micros>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - start_)
                                        .count());
  }

  void Serve() {
    uint8_t buffer[512];
    std::string out;
    while (!stop_) {
      sim::Micros now = Now();
      sim::Micros due = line_.NextDue();
      // Wake for the next reply byte that falls due, and at least every 20 ms to see stop_.
      int waitMs = 20;
      if (due != sim::ByteLine::kNever) {
        waitMs = due <= now ? 0 : static_cast<int>(std::min<sim::Micros>(20, (due - now) / 1000));
      }
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, waitMs) > 0 && (fd.revents & POLLIN)) {
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) line_.FromHost(buffer, static_cast<size_t>(n), Now());
      }
      out.clear();
      line_.ToHost(Now(), &out);
      size_t written = 0;
      while (written < out.size()) {
        ssize_t n = write(master_, out.data() + written, out.size() - written);
        if (n < 0 && errno != EINTR && errno != EAGAIN) break;
        if (n > 0) written += static_cast<size_t>(n);
      }
    }
  }

  sim::Terminal terminal_;
  sim::DirectLine line_;
  int master_;
  int slave_;  // kept open so the pty stays up while the library closes and reopens it
  std::string path_;
  std::chrono::steady_clock::time_point start_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
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
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    *error = std::string("cannot open a pty: ") + std::strerror(errno);
    return nullptr;
  }
  termios mode{};
  if (tcgetattr(slave, &mode) == 0) {
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
  }
  return std::make_unique<PtySimulator>(model, master, slave, name);
}

}  // namespace veldc::cli
