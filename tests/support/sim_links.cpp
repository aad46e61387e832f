#include "support/sim_links.h"

namespace veldc::test {

void SerialLink::FromHost(const uint8_t *data, size_t length, platform::virt::Micros now) {
  received_.append(reinterpret_cast<const char *>(data), length);
  line_.FromHost(data, length, now);
}

void SerialLink::ToHost(platform::virt::Micros now, std::string *out) { line_.ToHost(now, out); }

int Kov74Link::Open(int port, int mode, int c254, int option) {
  return network_.Open(port, mode, c254, option);
}

int Kov74Link::SetSpeed(int code) { return network_.SetSpeed(code); }

int Kov74Link::Close() { return network_.Close(); }

int Kov74Link::Poll(int address, char *record, platform::virt::Micros now) {
  return network_.Poll(address, record, now);
}

int Kov74Link::Send(int address, const char *text, platform::virt::Micros now) {
  return network_.Send(address, text, now);
}

}  // namespace veldc::test
