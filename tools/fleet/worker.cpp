#include "worker.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace veldc::fleet {
namespace {

using Clock = std::chrono::steady_clock;

int Milliseconds(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count(), 1000));
}

}  // namespace

Worker::~Worker() { Stop(0); }

bool Worker::Start(const std::string &program, const std::vector<std::string> &args,
                   const std::string &log, std::string *error) {
  Stop(0);
  int toChild[2];
  int fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close(toChild[0]);
    close(toChild[1]);
    return false;
  }
  int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  // Everything the child needs is made before fork: between fork and exec only
  // async-signal-safe calls, since other threads may hold locks.
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // A worker never outlives its coordinator: with nobody to store its uploads it must stop.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    if (logFd >= 0) dup2(logFd, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int forkErrno = errno;
  close(toChild[0]);
  close(fromChild[1]);
  if (logFd >= 0) close(logFd);
  if (pid < 0) {
    close(toChild[1]);
    close(fromChild[0]);
    *error = std::string("fork: ") + std::strerror(forkErrno);
    return false;
  }
  pid_ = pid;
  in_ = toChild[1];
  out_ = fromChild[0];
  buffer_.clear();
  return true;
}

bool Worker::Call(const std::string &line, double timeout, nlohmann::json *reply,
                  std::string *error) {
  if (pid_ <= 0) {
    *error = "the worker is not running";
    return false;
  }
  std::string text = line + "\n";
  for (size_t sent = 0; sent < text.size();) {
    ssize_t n = write(in_, text.data() + sent, text.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "the worker ended";
      Reap(true);
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(timeout));
  for (;;) {
    size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string object = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      *reply = nlohmann::json::parse(object, nullptr, false);
      if (reply->is_object()) return true;
      continue;  // not one of ours (a note); the answer follows
    }
    if (Clock::now() >= deadline) {
      *error = "the worker took longer than " + std::to_string(static_cast<int>(timeout)) +
               " s over \"" + line + "\"";
      Reap(true);
      return false;
    }
    pollfd pfd{out_, POLLIN, 0};
    if (poll(&pfd, 1, Milliseconds(deadline)) <= 0) continue;
    char chunk[65536];
    ssize_t n = read(out_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Reap(false);
      *error = "the worker ended without answering \"" + line + "\"";
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

void Worker::Stop(double grace) {
  if (pid_ <= 0) return;
  close(in_);
  in_ = -1;
  auto deadline = Clock::now() + std::chrono::duration<double>(grace);
  while (Clock::now() < deadline) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Reap(true);
}

void Worker::Reap(bool kill) {
  if (in_ >= 0) close(in_);
  in_ = -1;
  if (pid_ > 0) {
    if (kill) ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
  if (out_ >= 0) close(out_);
  out_ = -1;
  buffer_.clear();
}

std::string Quote(const std::string &word) {
  bool plain = !word.empty() && word.find_first_of(" \t'\"#\\") == std::string::npos;
  if (plain) return word;
  return word.find('\'') == std::string::npos ? "'" + word + "'" : "\"" + word + "\"";
}

}  // namespace veldc::fleet
