#include "serial_mode.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "files.h"
#include "sim/direct_line.h"
#include "sim/logon_line.h"
#include "sim/modem.h"
#include "sim/network_interface.h"
#include "sim/transport/pty_server.h"

namespace veldc::simtool {

namespace {

using Terminals = std::vector<std::unique_ptr<sim::Terminal>>;

std::unique_ptr<sim::ByteLine> MakeLine(const Options &o, const Terminals &terminals) {
  const sim::LineTiming timing{static_cast<sim::Micros>(o.replyDelayMs) * sim::kMillis,
                               static_cast<sim::Micros>(o.lineGapMs) * sim::kMillis};
  std::vector<sim::Terminal *> all;
  for (const auto &t : terminals) all.push_back(t.get());
  if (o.logon) return std::make_unique<sim::LogonLine>(all, timing);
  if (o.network) {
    auto net = std::make_unique<sim::NetworkInterface>(all, timing);
    if (o.networkFailure == "send") net->SetFailure(sim::NetworkInterface::Failure::kSend);
    if (o.networkFailure == "receive") net->SetFailure(sim::NetworkInterface::Failure::kReceive);
    return net;
  }
  auto line = std::make_unique<sim::DirectLine>(*all.front(), timing);
  line->SetLeadingLineFeed(o.leadingLineFeed);
  return line;
}

sim::Modem::DialResult DialResultOf(const std::string &name) {
  if (name == "busy") return sim::Modem::DialResult::kBusy;
  if (name == "no-carrier") return sim::Modem::DialResult::kNoCarrier;
  if (name == "silent") return sim::Modem::DialResult::kSilent;
  return sim::Modem::DialResult::kConnect;
}

}  // namespace

int ServeSerial(const Options &o, const std::atomic<bool> &stop) {
  Terminals terminals;
  if (!MakeTerminals(o, o.network, &terminals)) return 2;
  if (o.direct && terminals.size() != 1) {
    std::fprintf(stderr, "veldc-sim: --direct serves exactly one terminal\n");
    return 2;
  }
  std::unique_ptr<sim::ByteLine> line = MakeLine(o, terminals);
  std::unique_ptr<sim::Modem> modem;
  sim::ByteLine *served = line.get();
  if (o.modem) {
    modem = std::make_unique<sim::Modem>(*line);
    modem->SetSpeed(o.modemSpeed);
    modem->SetDialResult(DialResultOf(o.dialResult));
    served = modem.get();
  }

  sim::PtyServer server(*served);
  std::string error;
  const bool started =
      o.device.empty() ? server.Start(&error) : server.StartOnDevice(o.device, &error);
  if (!started) {
    std::fprintf(stderr, "veldc-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", server.SlavePath().c_str());
  std::fflush(stdout);

  std::vector<size_t> saved(terminals.size(), 0);
  int status = 0;
  while (!stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (o.saveDir.empty()) continue;
    std::lock_guard<std::mutex> lock(server.ModelMutex());
    for (size_t i = 0; i < terminals.size(); ++i) {
      if (!SaveLoads(o.saveDir, *terminals[i], &saved[i]) && status == 0) {
        std::fprintf(stderr, "veldc-sim: cannot write into %s\n", o.saveDir.c_str());
        status = 1;
      }
    }
  }
  server.Stop();
  return status;
}

}  // namespace veldc::simtool
