#include "pelo_mode.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "files.h"
#include "sim/terminal.h"

namespace veldc::simtool {

namespace {

using Terminals = std::vector<std::unique_ptr<sim::Terminal>>;

constexpr size_t kReceiveLimit = 2048;
constexpr sim::Micros kLongestPoll = 20 * sim::kMillis;

// A UDP socket bound to `address` (host order) and the port, shared with the library's.
int Bind(uint32_t address, int port, std::string *error) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(address);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    *error = std::string("bind: ") + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

std::string AddressText(uint32_t address) {
  in_addr a{};
  a.s_addr = htonl(address);
  return inet_ntoa(a);
}

class Clock {
 public:
  sim::Micros Now() const {
    return static_cast<sim::Micros>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - start_)
                                        .count());
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace

void AddPeloOptions(CLI::App &app, PeloOptions *p) {
  auto *group = app.add_option_group("pelo", "A Pelo Ethernet adapter on UDP instead of a line");
  group->add_flag("--pelo", p->enabled,
                  "Serve the terminals behind a Pelo adapter on --pelo-address:--pelo-port");
  group->add_option("--pelo-address", p->address,
                    "The adapter's IPv4 address, one of this host's (default 127.0.0.2)");
  group->add_option("--pelo-port", p->port, "UDP port of adapter and host (default 5005)")
      ->check(CLI::Range(1, 65535));
  group
      ->add_option("--pelo-delay", p->answerDelayMs,
                   "Milliseconds the adapter takes to answer (default 1)")
      ->check(CLI::Range(0, 10000));
  group->add_option("--pelo-form", p->form, "Link form reported by the adapter (default network)")
      ->check(CLI::IsMember({"network", "single"}));
  group->add_option("--pelo-lost-acks", p->faults.lostAcks,
                    "This many of the adapter's acknowledgements are lost");
  group->add_option("--pelo-repeat", p->faults.repeatedData,
                    "This many datagrams to the host go out twice");
  group->add_option("--pelo-oversized", p->faults.oversized,
                    "This many datagrams to the host are padded to 200 bytes");
  group->add_option("--pelo-init-on-data", p->faults.initOnData,
                    "This many terminal lines are answered with an init packet instead");
  group->add_option("--pelo-error-packets", p->faults.errorPackets,
                    "This many commands or lines are answered with an error packet");
  group
      ->add_option("--pelo-drop-chance", p->dropChance,
                   "Percent of datagrams lost at random, either way (seeded by --fault-seed)")
      ->check(CLI::Range(0, 100));
  group->add_flag("--pelo-silent", p->faults.silent, "The adapter hears but never answers");
  group->add_flag("--pelo-ack-reset", p->faults.ackReset,
                  "Acknowledge the reset command before restarting");
}

int ServePelo(const Options &o, const PeloOptions &p, const std::atomic<bool> &stop) {
  if (o.direct || o.logon || o.network || o.modem || !o.device.empty()) {
    std::fprintf(stderr, "veldc-sim: --pelo serves no serial line\n");
    return 2;
  }
  in_addr parsed{};
  if (inet_pton(AF_INET, p.address.c_str(), &parsed) != 1) {
    std::fprintf(stderr, "veldc-sim: bad --pelo-address \"%s\"\n", p.address.c_str());
    return 2;
  }
  const bool network = p.form == "network";
  Terminals terminals;
  if (!MakeTerminals(o, network, &terminals)) return 2;
  // Echo is a property of a serial line; the adapter carries lines, not bytes.
  for (const auto &t : terminals) t->SetEchoLine(false);

  sim::PeloAdapter adapter(ntohl(parsed.s_addr),
                           network ? sim::PeloAdapter::kNetwork : sim::PeloAdapter::kSingle);
  adapter.Faults() = p.faults;
  adapter.SetAnswerDelay(static_cast<sim::Micros>(p.answerDelayMs) * sim::kMillis);
  for (const auto &t : terminals) adapter.AttachTerminal(t.get());

  std::string error;
  int fd = Bind(adapter.Address(), p.port, &error);
  if (fd < 0) {
    std::fprintf(stderr, "veldc-sim: %s\n", error.c_str());
    return 1;
  }
  uint32_t bound = adapter.Address();
  std::printf("%s:%d\n", p.address.c_str(), p.port);
  std::fflush(stdout);

  Clock clock;
  std::minstd_rand random(o.faultSeed);
  auto lost = [&] { return p.dropChance > 0 && static_cast<int>(random() % 100) < p.dropChance; };
  sockaddr_in host{};
  bool haveHost = false;
  std::vector<size_t> saved(terminals.size(), 0);
  int status = 0;
  std::vector<uint8_t> buffer(kReceiveLimit);
  while (!stop) {
    sim::Micros now = clock.Now();
    const sim::Micros due = adapter.NextDue();
    const sim::Micros wait = due <= now ? 0 : std::min(due - now, kLongestPoll);
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>((wait + 999) / 1000));
    now = clock.Now();
    if (ready > 0 && (pfd.revents & POLLIN) != 0) {
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr *>(&from), &fromLength);
      if (n >= 0 && !lost()) {
        host = from;
        haveHost = true;
        adapter.FromHost(buffer.data(), static_cast<size_t>(n), now);
      }
    }
    std::string datagram;
    while (adapter.ToHost(now, &datagram)) {
      if (!haveHost || lost()) continue;  // nobody has spoken to us yet, or lost on the way
      sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&host),
             sizeof host);
    }
    // A reset to another address ("A" then "%") moves the adapter there.
    if (adapter.Address() != bound) {
      const int moved = Bind(adapter.Address(), p.port, &error);
      if (moved < 0) {
        std::fprintf(stderr, "veldc-sim: cannot move to %s: %s\n",
                     AddressText(adapter.Address()).c_str(), error.c_str());
      } else {
        close(fd);
        fd = moved;
      }
      bound = adapter.Address();
    }
    if (!o.saveDir.empty()) {
      for (size_t i = 0; i < terminals.size(); ++i) {
        if (!SaveLoads(o.saveDir, *terminals[i], &saved[i]) && status == 0) {
          std::fprintf(stderr, "veldc-sim: cannot write into %s\n", o.saveDir.c_str());
          status = 1;
        }
      }
    }
  }
  close(fd);
  return status;
}

}  // namespace veldc::simtool
