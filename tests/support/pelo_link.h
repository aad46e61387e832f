// The simulated Pelo adapter on the virtual UDP socket of the test backend.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

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
class SimPeloLink {
 public:
  explicit SimPeloLink(platform::virt::VirtualPlatform &vp, uint32_t address = 0xC0A8000A,
                       sim::PeloAdapter::Form form = sim::PeloAdapter::kNetwork)
      : adapter(address, form), peer_(&adapter) {
    vp.AttachAdapter(&peer_);
  }
  SimPeloLink(const SimPeloLink &) = delete;
  SimPeloLink &operator=(const SimPeloLink &) = delete;

  sim::PeloAdapter adapter;

 private:
  PeloAdapterPeer peer_;
};

// One datagram as the wire carries it.
std::string Datagram(uint16_t type, uint16_t seq, const std::string &text = std::string());

// A scripted adapter: datagrams sent at given instants, and answers to each datagram the host
// sends, so that a test controls every byte the library reads.
class ScriptAdapter : public platform::virt::DatagramPeer {
 public:
  using Micros = platform::virt::Micros;
  // Answers to one datagram from the host: (delay after it, bytes).
  using Answers = std::vector<std::pair<Micros, std::string>>;
  using Responder = std::function<Answers(const sim::PeloPacket &heard)>;

  void SendAt(Micros at, std::string bytes) { out_.emplace_back(at, std::move(bytes)); }
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  // Every datagram the host sent, decoded; runts appear with type 0xFFFF.
  const std::vector<sim::PeloPacket> &Heard() const { return heard_; }
  // The host's datagrams of one type.
  std::vector<sim::PeloPacket> HeardOf(uint16_t type) const;

  void FromHost(const uint8_t *data, size_t length, Micros now) override;
  bool ToHost(Micros now, std::string *datagram) override;

 private:
  std::deque<std::pair<Micros, std::string>> out_;
  Responder responder_;
  std::vector<sim::PeloPacket> heard_;
};

}  // namespace veldc::test
