// The simulated Pelo adapter on the virtual UDP socket of the test backend.
#pragma once

#include <cstdint>
#include <string>

#include "platform/virtual/virtual_platform.h"
#include "sim/pelo_adapter.h"

namespace veldc::test {

class PeloAdapterPeer : public platform::virt::DatagramPeer {
 public:
  explicit PeloAdapterPeer(sim::PeloAdapter *adapter) : adapter_(adapter) {}
  void FromHost(const uint8_t *data, size_t length, platform::virt::Micros now) override {
    adapter_->FromHost(data, length, now);
  }
  bool ToHost(platform::virt::Micros now, std::string *datagram) override {
    return adapter_->ToHost(now, datagram);
  }

 private:
  sim::PeloAdapter *adapter_;
};

// An adapter with its terminals, attached to the installed virtual platform.
class PeloLink {
 public:
  explicit PeloLink(platform::virt::VirtualPlatform &vp, uint32_t address = 0xC0A8000A,
                    sim::PeloAdapter::Form form = sim::PeloAdapter::kNetwork)
      : adapter(address, form), peer_(&adapter) {
    vp.AttachAdapter(&peer_);
  }
  PeloLink(const PeloLink &) = delete;
  PeloLink &operator=(const PeloLink &) = delete;

  sim::PeloAdapter adapter;

 private:
  PeloAdapterPeer peer_;
};

}  // namespace veldc::test
