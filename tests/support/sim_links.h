// Plugs the simulator's models into the test backend:
//   VirtualPlatform vp; sim::Terminal t; sim::DirectLine line(t);
//   SerialLink link(line); vp.AttachSerial(&link);
//   sim::Kov74Network net; net.AddTerminal(&t); Kov74Link driver(net); vp.SetKov74(&driver);
#pragma once

#include <string>

#include "platform/virtual/virtual_platform.h"
#include "sim/byte_line.h"
#include "sim/kov74_network.h"

namespace veldc::test {

// A simulated serial line as the far end of the virtual COM port.
class SerialLink : public platform::virt::SerialPeer {
 public:
  explicit SerialLink(sim::ByteLine &line) : line_(line) {}
  void FromHost(const uint8_t *data, size_t length, platform::virt::Micros now) override;
  void ToHost(platform::virt::Micros now, std::string *out) override;
  // Every byte the host sent, in order.
  const std::string &Received() const { return received_; }

 private:
  sim::ByteLine &line_;
  std::string received_;
};

// The simulated terminal network as the virtual KOV74C.DLL.
class Kov74Link : public platform::virt::Kov74Peer {
 public:
  explicit Kov74Link(sim::Kov74Network &network) : network_(network) {}
  int Open(int port, int mode, int c254, int option) override;
  int SetSpeed(int code) override;
  int Close() override;
  int Poll(int address, char *record, platform::virt::Micros now) override;
  int Send(int address, const char *text, platform::virt::Micros now) override;

 private:
  sim::Kov74Network &network_;
};

}  // namespace veldc::test
