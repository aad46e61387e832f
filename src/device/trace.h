// The host's traffic trace (SetTraceCallback): off unless a host sets it.
#pragma once

#include <cstdint>

namespace veldc::device {

void Trace(int kind, const void *data, int length);

}  // namespace veldc::device
namespace veldc::device {
void ResetTrace();
}
