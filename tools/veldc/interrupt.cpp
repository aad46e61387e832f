#include "interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <initializer_list>

#include "veldc.h"

namespace veldc::cli {
namespace {

volatile sig_atomic_t caught = 0;

void OnSignal(int signal) {
  if (caught != 0) _exit(128 + signal);
  caught = signal;
  CancelOperation();
}

}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

int Interrupted() { return caught; }

const char *SignalName(int signal) {
  return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
}

}  // namespace veldc::cli
