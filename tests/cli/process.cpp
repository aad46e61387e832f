#include "process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace veldc::cli::test {
namespace {

using Clock = std::chrono::steady_clock;

// Starts `program` with stdin, stdout and stderr on `in`, `out`, `err` (-1: the test's own); no
// other descriptor of the test reaches it.
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

// Reads what `fd` has into `to`; false at its end.
bool ReadSome(int fd, std::string *to) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) to->append(buffer, static_cast<size_t>(n));
  return n > 0;
}

}  // namespace

Outcome RunProgram(const std::string &program, const std::vector<std::string> &args,
                   const std::string &input, int timeoutSeconds, bool stderrTerminal,
                   const std::vector<SignalAt> &signals) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 ||
      (stderrTerminal ? openpty(&err[0], &err[1], nullptr, nullptr, nullptr) : pipe(err)) != 0) {
    return {};
  }
  const pid_t pid = Spawn(program, args, in[0], out[1], err[1]);
  for (int fd : {in[0], out[1], err[1]}) close(fd);
  signal(SIGPIPE, SIG_IGN);
  if (write(in[1], input.data(), input.size()) < 0) ADD_FAILURE() << "stdin not written";
  close(in[1]);
  Outcome outcome;
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  size_t sent = 0;
  while ((fds[0].fd >= 0 || fds[1].fd >= 0) && Clock::now() < deadline) {
    if (poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      if (!ReadSome(fds[i].fd, i == 0 ? &outcome.out : &outcome.err)) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    while (sent < signals.size() && outcome.err.find(signals[sent].when) != std::string::npos) {
      kill(pid, signals[sent++].signal);
    }
  }
  for (const pollfd &fd : fds) {
    if (fd.fd >= 0) kill(pid, SIGKILL), close(fd.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

std::string SchemaErrors(const std::string &out) {
  const Outcome check =
      RunProgram("/usr/bin/python3", {VELDC_VALIDATOR_PATH, VELDC_SCHEMA_PATH}, out);
  return check.status == 0 ? "" : check.out + check.err + std::to_string(check.status);
}

Background::Background(const std::string &program, const std::vector<std::string> &args) {
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = Spawn(program, args, -1, out[1], -1);
  close(out[1]);
  out_ = out[0];
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  std::string text;
  pollfd fd{out_, POLLIN, 0};
  while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
    if (poll(&fd, 1, 100) > 0 && !ReadSome(out_, &text)) break;
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
  if (done == 0) kill(pid_, SIGKILL), waitpid(pid_, &status, 0);
  pid_ = -1;
  close(out_);
  return done == 0 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

PtyPeer::PtyPeer(std::function<std::string(const std::string &)> answer)
    : answer_(std::move(answer)) {
  char name[128];
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) return;
  path_ = name;
  thread_ = std::thread([this] {
    std::string line, got;
    pollfd p{master_, POLLIN, 0};
    while (!stop_) {
      if (poll(&p, 1, 20) <= 0 || !ReadSome(master_, &got)) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      for (char c : got) {
        heard_ += c;
        if (c != '\r') {
          line += c;
        } else if (answer_) {
          const std::string reply = answer_(line) + "\r";
          if (write(master_, reply.data(), reply.size()) < 0) return;
          line.clear();
        }
      }
      got.clear();
    }
  });
}

PtyPeer::~PtyPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  close(master_);
  close(slave_);
}

std::string PtyPeer::Heard() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return heard_;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
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
  std::ostringstream text;
  text << std::ifstream(File(name), std::ios::binary).rdbuf();
  return text.str();
}

}  // namespace veldc::cli::test
