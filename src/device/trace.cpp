#include "device/trace.h"

#include "core/errors.h"
#include "veldc.h"

namespace veldc::device {
namespace {

VeldcTraceCallback traceCallback = nullptr;
void *traceContext = nullptr;

}  // namespace

void Trace(int kind, const void *data, int length) {
  if (traceCallback != nullptr && length >= 0) {
    traceCallback(traceContext, kind, static_cast<const unsigned char *>(data), length);
  }
}

void ResetTrace() {
  traceCallback = nullptr;
  traceContext = nullptr;
}

}  // namespace veldc::device

extern "C" int VELDC_API SetTraceCallback(VeldcTraceCallback callback, void *context) {
  veldc::device::traceCallback = callback;
  veldc::device::traceContext = context;
  return 0;
}
