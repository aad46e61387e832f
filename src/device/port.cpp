#include "device/port.h"

#include <cstring>

#include "device/device.h"
#include "device/timing.h"
#include "device/trace.h"
#include "veldc.h"

namespace veldc::device {

using platform::Os;

bool PortWrite(const void *data, uint32_t length) {
  Trace(VELDC_TRACE_PORT_OUT, data, static_cast<int>(length));
  uint32_t written = 0;
  return Os().ComWrite(ComPort(), data, length, &written);
}

bool PortWriteText(const char *text) {
  return PortWrite(text, static_cast<uint32_t>(std::strlen(text)));
}

bool PortReadByte(uint8_t *byte) {
  if (Os().ComRead(ComPort(), byte, 1) != 1) return false;
  Trace(VELDC_TRACE_PORT_IN, byte, 1);
  return true;
}

void PortAwaitInput(int32_t stepMs, uint32_t limitMs) {
  if (!Os().ComWaitInput(ComPort(), limitMs)) WaitMs(stepMs);
}

void PortPurge(uint32_t flags) { Os().ComPurge(ComPort(), flags); }

uint32_t PortClearError() {
  uint32_t mask = 0;
  if (!Os().ComClearError(ComPort(), &mask)) return 0;
  return mask;
}

void PortTransmitChar(char c) {
  Trace(VELDC_TRACE_PORT_OUT, &c, 1);
  Os().ComTransmitChar(ComPort(), c);
}

}  // namespace veldc::device
