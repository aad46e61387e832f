// The simulated Pelo adapter on the virtual UDP socket of the test backend, and a scripted one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/virtual/virtual_platform.h"
#include "sim/pelo_adapter.h"

namespace veldc::test {

// An adapter with its terminals, attached to the installed virtual platform.
class SimPeloLink : public platform::virt::DatagramPeer {
 public:
  explicit SimPeloLink(platform::virt::VirtualPlatform &vp, uint32_t address = 0xC0A8000A,
                       sim::PeloAdapter::Form form = sim::PeloAdapter::kNetwork)
      : adapter(address, form) {
    vp.AttachAdapter(this);
  }
  SimPeloLink(const SimPeloLink &) = delete;
  SimPeloLink &operator=(const SimPeloLink &) = delete;
  void FromHost(const uint8_t *data, size_t length, platform::virt::Micros now) override {
    adapter.FromHost(data, length, now);
  }
  bool ToHost(platform::virt::Micros now, std::string *datagram) override {
    return adapter.ToHost(now, datagram);
  }
  platform::virt::Micros NextDue() const override { return adapter.NextDue(); }

  sim::PeloAdapter adapter;
};

// One datagram as the wire carries it.
inline std::string Datagram(uint16_t type, uint16_t seq, const std::string &text = std::string()) {
  return sim::PeloPacket{type, seq, text}.Encode();
}

// A scripted adapter: datagrams sent at given instants, and answers to each datagram the host
// sends, so that a test controls every byte the library reads.
class ScriptAdapter : public platform::virt::DatagramPeer {
 public:
  using Micros = platform::virt::Micros;
  // Answers to one datagram from the host: (delay after it, bytes).
  using Answers = std::vector<std::pair<Micros, std::string>>;
  using Responder = std::function<Answers(const sim::PeloPacket &heard)>;

  // Kept in time order; equal instants keep the order they were given.
  void SendAt(Micros at, std::string bytes) {
    auto it = std::upper_bound(out_.begin(), out_.end(), at,
                               [](Micros t, const auto &e) { return t < e.first; });
    out_.insert(it, {at, std::move(bytes)});
  }
  void SetResponder(Responder responder) { responder_ = std::move(responder); }

  void FromHost(const uint8_t *data, size_t length, Micros now) override {
    sim::PeloPacket p;
    if (!sim::PeloPacket::Decode(data, length, &p)) p.type = 0xFFFF;
    heard.push_back(p);
    if (!responder_) return;
    for (auto &answer : responder_(p)) SendAt(now + answer.first, std::move(answer.second));
  }
  bool ToHost(Micros now, std::string *datagram) override {
    if (out_.empty() || out_.front().first > now) return false;
    *datagram = std::move(out_.front().second);
    out_.pop_front();
    return true;
  }
  Micros NextDue() const override {
    return out_.empty() ? platform::virt::kNever : out_.front().first;
  }

  // The host's datagrams, decoded; runts are kept with type 0xFFFF.
  std::vector<sim::PeloPacket> heard;

 private:
  std::deque<std::pair<Micros, std::string>> out_;
  Responder responder_;
};

}  // namespace veldc::test
