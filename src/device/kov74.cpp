#include "device/kov74.h"

#include <cstring>

#include "device/device.h"
#include "device/trace.h"
#include "veldc.h"

namespace veldc::device {

using platform::Os;

namespace {

constexpr const char *kDriverName = "KOV74C.DLL";

template <typename Fn>
bool Entry(int ordinal, const char *name, Fn *fn) {
  *fn = reinterpret_cast<Fn>(Os().ModuleEntry(DeviceState.Kov74.hModule, ordinal, name));
  return *fn != nullptr;
}

}  // namespace

bool Kov74Load() {
  if (!Os().ModuleOnSearchPath(kDriverName)) return false;
  Kov74Driver &drv = DeviceState.Kov74;
  drv.hModule = Os().ModuleLoad(kDriverName);
  if (drv.hModule == platform::kNoHandle) return false;
  if (Entry(1, "Kov74Open", &drv.Open) && Entry(3, "Kov74SetSpeed", &drv.SetSpeed) &&
      Entry(5, "Kov74Close", &drv.Close) && Entry(7, "Kov74Poll", &drv.Poll) &&
      Entry(9, "Kov74Send", &drv.Send)) {
    return true;
  }
  Kov74Unload();
  return false;
}

void Kov74Unload() {
  Kov74Driver &drv = DeviceState.Kov74;
  if (drv.hModule != platform::kNoHandle) Os().ModuleFree(drv.hModule);
  drv = Kov74Driver{};
}

int Kov74Open(int port, int mode, int option) {
  return DeviceState.Kov74.Open(port, mode, 254, option);
}

int Kov74SetSpeed(int speedCode) { return DeviceState.Kov74.SetSpeed(speedCode); }

int Kov74Close() { return DeviceState.Kov74.Close(); }

int Kov74Poll(int address, char *record) {
  const int r = DeviceState.Kov74.Poll(address, record);
  if (r == 2) {
    // The driver's record is byte 0 the sender and the text up to a NUL; the library's record
    // buffer ends the text for good at its last byte.
    record[kov74::kRecordSize - 1] = '\0';
    Trace(VELDC_TRACE_DRIVER_IN, record,
          1 + static_cast<int>(strnlen(record + 1, kov74::kRecordSize - 2)));
  }
  return r;
}

int Kov74Send(int address, const char *text) {
  unsigned char frame[130];
  const size_t n = std::strlen(text) < 128 ? std::strlen(text) : 128;
  frame[0] = static_cast<unsigned char>(address);
  std::memcpy(frame + 1, text, n);
  Trace(VELDC_TRACE_DRIVER_OUT, frame, static_cast<int>(n + 1));
  return DeviceState.Kov74.Send(address, text);
}

}  // namespace veldc::device
