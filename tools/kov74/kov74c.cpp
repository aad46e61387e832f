// The Kov74 driver stand-in: the five driver calls over simulated terminals at addresses 1..N,
// in real time. Tests steer it with Kov74SimControl or with the KOV74C_SIM environment
// variable, read at every open (settings as Kov74Network::Apply takes them; by default three
// Veld terminals).
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"
#include "sim/kov74_network.h"

namespace {

std::mutex mutex;

// Destroyed with the library (dlclose or process exit), so nothing is left behind.
struct DefaultNetwork {
  DefaultNetwork() { network.CreateTerminals(3, "Veld"); }
  veldc::sim::Kov74Network network;
};

veldc::sim::Kov74Network &Network() {
  static DefaultNetwork standIn;
  return standIn.network;
}

veldc::sim::Micros Now() {
  static const auto start = std::chrono::steady_clock::now();
  return static_cast<veldc::sim::Micros>(std::chrono::duration_cast<std::chrono::microseconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count());
}

}  // namespace

extern "C" {

int VELDC_STDCALL Kov74Open(int port, int mode, int c254, int option) {
  std::lock_guard<std::mutex> lock(mutex);
  if (const char *settings = std::getenv("KOV74C_SIM")) Network().Apply(settings);
  return Network().Open(port, mode, c254, option);
}

int VELDC_STDCALL Kov74SetSpeed(int code) {
  std::lock_guard<std::mutex> lock(mutex);
  return Network().SetSpeed(code);
}

int VELDC_STDCALL Kov74Close() {
  std::lock_guard<std::mutex> lock(mutex);
  return Network().Close();
}

int VELDC_STDCALL Kov74Poll(int address, char *record) {
  std::lock_guard<std::mutex> lock(mutex);
  return Network().Poll(address, record, Now());
}

int VELDC_STDCALL Kov74Send(int address, const char *text) {
  std::lock_guard<std::mutex> lock(mutex);
  return Network().Send(address, text, Now());
}

// 0 when every setting was taken, -1 at the first unknown one or for a null text.
int VELDC_STDCALL Kov74SimControl(const char *settings) {
  std::lock_guard<std::mutex> lock(mutex);
  return settings != nullptr && Network().Apply(settings) ? 0 : -1;
}

}  // extern "C"
