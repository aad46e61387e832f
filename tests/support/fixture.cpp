#include "support/fixture.h"

#include "device/device.h"

namespace veldc::test {

std::string ErrorState() {
  char text[64] = "";
  const int code = GetError(text);
  return std::to_string(code) + " " + text;
}

void SerialTest::Open(int kind, int speed) {
  ASSERT_EQ(InitCOMM(1, kind, speed, 0), 1016) << ErrorState();
  vp.ClearWritten();
}

void SerialTest::Select(int kind, int address) {
  Open(kind);
  device::bySelectedTerminal = static_cast<uint8_t>(address);
}

platform::virt::Micros SerialTest::WriteTime(const std::string &bytes) const {
  for (const auto &w : vp.Writes()) {
    if (w.second.find(bytes) != std::string::npos) return w.first;
  }
  return ~platform::virt::Micros{0};
}

void Kov74Test::Open(int kind) { ASSERT_GT(InitCOMM(1, kind, 0, 0), 0) << ErrorState(); }

}  // namespace veldc::test
