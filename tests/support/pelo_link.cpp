#include "support/pelo_link.h"

#include <algorithm>

namespace veldc::test {

std::string Datagram(uint16_t type, uint16_t seq, const std::string &text) {
  return sim::PeloPacket{type, seq, text}.Encode();
}

std::vector<sim::PeloPacket> ScriptAdapter::HeardOf(uint16_t type) const {
  std::vector<sim::PeloPacket> out;
  for (const auto &p : heard_) {
    if (p.type == type) out.push_back(p);
  }
  return out;
}

void ScriptAdapter::FromHost(const uint8_t *data, size_t length, Micros now) {
  sim::PeloPacket p;
  if (!sim::PeloPacket::Decode(data, length, &p)) p.type = 0xFFFF;
  heard_.push_back(p);
  if (!responder_) return;
  for (auto &answer : responder_(p)) {
    const Micros at = now + answer.first;
    // Kept in time order; equal instants keep the order they were given.
    auto it = std::upper_bound(out_.begin(), out_.end(), at,
                               [](Micros t, const auto &e) { return t < e.first; });
    out_.insert(it, {at, std::move(answer.second)});
  }
}

bool ScriptAdapter::ToHost(Micros now, std::string *datagram) {
  auto it = std::min_element(out_.begin(), out_.end(),
                             [](const auto &a, const auto &b) { return a.first < b.first; });
  if (it == out_.end() || it->first > now) return false;
  *datagram = std::move(it->second);
  out_.erase(it);
  return true;
}

}  // namespace veldc::test
