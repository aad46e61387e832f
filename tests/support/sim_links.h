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

using platform::virt::Micros;

// A simulated serial line as the far end of the virtual COM port.
class SerialLink : public platform::virt::SerialPeer {
 public:
  explicit SerialLink(sim::ByteLine &line) : line_(line) {}
  void FromHost(const uint8_t *data, size_t length, Micros now) override {
    line_.FromHost(data, length, now);
  }
  void ToHost(Micros now, std::string *out) override { line_.ToHost(now, out); }
  Micros NextDue() const override { return line_.NextDue(); }

 private:
  sim::ByteLine &line_;
};

// The simulated terminal network as the virtual KOV74C.DLL.
class Kov74Link : public platform::virt::Kov74Peer {
 public:
  explicit Kov74Link(sim::Kov74Network &network) : net_(network) {}
  int Open(int port, int mode, int c254, int option) override {
    return net_.Open(port, mode, c254, option);
  }
  int SetSpeed(int code) override { return net_.SetSpeed(code); }
  int Close() override { return net_.Close(); }
  int Poll(int address, char *record, Micros now) override {
    return net_.Poll(address, record, now);
  }
  int Send(int address, const char *text, Micros now) override {
    return net_.Send(address, text, now);
  }

 private:
  sim::Kov74Network &net_;
};

}  // namespace veldc::test
