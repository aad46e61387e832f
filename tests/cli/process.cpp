#include "process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace veldc::cli::test {
namespace {

// Starts `program` with `args`, its stdin, stdout and stderr on `in`, `out` and `err` (-1: the
// test's own); no other descriptor of the test reaches it.
pid_t Spawn(const std::string &program, const std::vector<std::string> &args, int in, int out,
            int err) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int ends[] = {in, out, err};
  for (int fd = 0; fd < 3; ++fd) {
    if (ends[fd] >= 0) dup2(ends[fd], fd);
  }
  closefrom(3);
  std::vector<char *> argv = {const_cast<char *>(program.c_str())};
  for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

Outcome RunProgram(const std::string &program, const std::vector<std::string> &args,
                   const std::string &input, int timeoutSeconds, bool stderrTerminal,
                   const std::vector<SignalAt> &signals) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0) return {};
  if (stderrTerminal ? openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0 : pipe(err) != 0) {
    return {};
  }
  const pid_t pid = Spawn(program, args, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    ssize_t written = write(in[1], input.data(), input.size());
    (void)written;
  }
  close(in[1]);

  Outcome outcome;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  size_t sent = 0;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? outcome.out : outcome.err).append(buffer, static_cast<size_t>(n));
      }
    }
    while (sent < signals.size() && outcome.err.find(signals[sent].when) != std::string::npos) {
      kill(pid, signals[sent++].signal);
    }
  }
  if (open > 0) kill(pid, SIGKILL);
  for (const pollfd &fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

std::string SchemaErrors(const std::string &out) {
  const Outcome check =
      RunProgram("/usr/bin/python3", {VELDC_VALIDATOR_PATH, VELDC_SCHEMA_PATH}, out, 60);
  return check.status == 0
             ? ""
             : check.out + check.err + " (status " + std::to_string(check.status) + ")";
}

Background::Background(const std::string &program, const std::vector<std::string> &args) {
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = Spawn(program, args, -1, out[1], -1);
  close(out[1]);
  out_ = out[0];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::string text;
  while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd fd{out_, POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    char buffer[256];
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  if (text.find('\n') != std::string::npos) firstLine_ = text.substr(0, text.find('\n'));
}

int Background::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 300 && done == 0; ++i) {
    done = waitpid(pid_, &status, WNOHANG);
    if (done == 0) usleep(10000);
  }
  if (done == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  close(out_);
  return done == 0 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<nlohmann::json> JsonLines(const std::string &out) {
  std::vector<nlohmann::json> objects;
  for (const std::string &line : Lines(out)) {
    objects.push_back(nlohmann::json::parse(line, nullptr, false));
    EXPECT_FALSE(objects.back().is_discarded()) << "not JSON: " << line;
  }
  return objects;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/veldc-cli-XXXXXX";
  path_ = mkdtemp(pattern);
}

TempDir::~TempDir() { std::filesystem::remove_all(path_); }

void TempDir::Write(const std::string &name, const std::string &content) const {
  std::ofstream(File(name), std::ios::binary) << content;
}

std::string TempDir::Read(const std::string &name) const {
  std::ifstream in(File(name), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace veldc::cli::test
