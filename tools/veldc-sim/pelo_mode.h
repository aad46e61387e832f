// Serving terminals behind a simulated Pelo adapter on a UDP address of this host.
#pragma once

#include <atomic>
#include <string>

#include "options.h"
#include "sim/pelo_adapter.h"

namespace veldc::simtool {

struct PeloOptions {
  bool enabled = false;
  // Loopback by default: the library binds the same port on every address of the host, so
  // the adapter takes an address of its own.
  std::string address = "127.0.0.2";
  int port = 5005;
  std::string form = "network";
  int answerDelayMs = 1;
  sim::PeloFaults faults;
  int dropChance = 0;  // percent of datagrams lost either way
};

// Declares --pelo and its options on `app`.
void AddPeloOptions(CLI::App &app, PeloOptions *pelo);

// Runs until `stop` is set. Prints "address:port" on stdout once the adapter listens.
// Returns the exit status.
int ServePelo(const Options &options, const PeloOptions &pelo, const std::atomic<bool> &stop);

}  // namespace veldc::simtool
