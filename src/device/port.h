// The COM port of the serial kinds, as the exchanges use it (traced).
#pragma once

#include <cstdint>

namespace veldc::device {

bool PortWrite(const void *data, uint32_t length);
bool PortWriteText(const char *text);
// One byte if one has arrived; never blocks.
bool PortReadByte(uint8_t *byte);
void PortPurge(uint32_t flags);
// The step after a read that brought nothing: waits for the next byte (or the port's failure)
// until the deadline where the system can, else pauses stepMs.
void PortAwaitInput(int32_t stepMs, uint32_t limitMs);
// ClearCommError's mask (0 when the call itself fails).
uint32_t PortClearError();
void PortTransmitChar(char c);

}  // namespace veldc::device
