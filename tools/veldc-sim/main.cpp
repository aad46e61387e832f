// veldc-sim: simulated data-collection terminals for hosts without hardware.
#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>

#include "options.h"
#include "pelo_mode.h"
#include "serial_mode.h"
#include "veldc_version.h"

namespace {

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested = true; }

}  // namespace

int main(int argc, char **argv) {
  using namespace veldc::simtool;
  CLI::App app(
      "Simulated data-collection terminals behind a serial line. Prints the path of the line "
      "(a new pty unless --device is given) on stdout, then serves until SIGINT or SIGTERM.",
      "veldc-sim");
  Options options;
  AddOptions(app, &options);
  PeloOptions pelo;
  AddPeloOptions(app, &pelo);
  // The project's version, the same as the library's and veldc's.
  app.set_version_flag("--version", "veldc-sim " VELDC_VERSION_TEXT);
  CLI11_PARSE(app, argc, argv);

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  // One entry per kind of link served; every serial kind shares the pty transport.
  if (pelo.enabled) return ServePelo(options, pelo, stopRequested);
  return ServeSerial(options, stopRequested);
}
