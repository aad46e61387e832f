#include "sim/transport/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace veldc::sim {

namespace {

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

std::string Reason(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

void CloseFd(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Writes everything, waiting briefly when the far side's queue is full.
void WriteAll(int fd, const std::string &bytes) {
  size_t done = 0;
  int stalls = 0;
  while (done < bytes.size() && stalls < 100) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      stalls = 0;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      ++stalls;
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
}

}  // namespace

PtyServer::PtyServer(ByteLine &line) : line_(line) {}

PtyServer::~PtyServer() { Stop(); }

Micros PtyServer::Now() const { return static_cast<Micros>((SteadyNs() - startNs_) / 1000); }

bool PtyServer::Start(std::string *error) {
  int master = -1, slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    *error = Reason("openpty");
    return false;
  }
  io_ = master;
  keeper_ = slave;
  slavePath_ = name;
  if (!MakeRaw(slave) || !MakeRaw(master)) {
    *error = Reason("raw mode");
    Stop();
    return false;
  }
  return Launch(error);
}

bool PtyServer::StartOnDevice(const std::string &path, std::string *error) {
  io_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (io_ < 0) {
    *error = Reason(path.c_str());
    return false;
  }
  slavePath_ = path;
  if (isatty(io_) && !MakeRaw(io_)) {
    *error = Reason("raw mode");
    Stop();
    return false;
  }
  return Launch(error);
}

bool PtyServer::Launch(std::string *error) {
  fcntl(io_, F_SETFL, fcntl(io_, F_GETFL) | O_NONBLOCK);
  if (pipe(wake_) != 0) {
    *error = Reason("pipe");
    Stop();
    return false;
  }
  stop_ = false;
  startNs_ = SteadyNs();
  thread_ = std::thread(&PtyServer::Run, this);
  return true;
}

void PtyServer::Stop() {
  stop_ = true;
  if (wake_[1] >= 0) {
    const char byte = 0;
    (void)!write(wake_[1], &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  CloseFd(&io_);
  CloseFd(&keeper_);
  CloseFd(&wake_[0]);
  CloseFd(&wake_[1]);
}

void PtyServer::Pump(Micros now) {
  std::string out;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    line_.ToHost(now, &out);
  }
  if (!out.empty()) WriteAll(io_, out);
}

void PtyServer::Run() {
  uint8_t buffer[512];
  while (!stop_) {
    Micros now = Now();
    Micros due;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      due = line_.NextDue();
    }
    // Wake for the next due output, and at least every 50 ms for state changed by others.
    int timeoutMs = 50;
    if (due != ByteLine::kNever) {
      timeoutMs = due <= now ? 0 : static_cast<int>(std::min<Micros>((due - now + 999) / 1000, 50));
    }
    pollfd fds[2] = {{io_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    int ready = poll(fds, 2, timeoutMs);
    if (ready < 0 && errno != EINTR) break;
    now = Now();
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      ssize_t n = read(io_, buffer, sizeof buffer);
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        line_.FromHost(buffer, static_cast<size_t>(n), now);
      }
    } else if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR)) != 0) {
      // A device whose far side has gone: keep the clock going without spinning.
      poll(nullptr, 0, 10);
    }
    Pump(now);
  }
}

}  // namespace veldc::sim
