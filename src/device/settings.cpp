// Reply time-outs and version queries.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "device/device.h"
#include "veldc.h"

namespace veldc {
namespace {

using device::DeviceState;

// "c.d" of the file version a.b.c.d. When it cannot be read the buffer is left as it was and
// the call fails: `missing` when the file is not there, 99 "Internal error" otherwise.
int ReportVersion(const char *file, int32_t missing, char *text) {
  if (text == nullptr) return Fail(kErrWrongParameters);
  uint32_t ms = 0;
  uint32_t ls = 0;
  if (!platform::Os().FileVersion(file, &ms, &ls))
    return Fail(platform::Os().ModuleOnSearchPath(file) ? kErrInternal : missing);
  std::snprintf(text, 12, "%u.%u", static_cast<unsigned>(ls >> 16),
                static_cast<unsigned>(ls & 0xFFFF));
  return 0;
}

}  // namespace
}  // namespace veldc

using namespace veldc;
using veldc::device::DeviceState;

extern "C" int VELDC_API Set232TimeOut(int timeout) {
  if (timeout <= 0) return Fail(kErrWrongParameters);
  DeviceState.n232TimeOut = timeout;
  return 0;
}

extern "C" int VELDC_API SetKov74TimeOut(float timeout) {
  // Not a number, not positive, or beyond what a 32-bit count holds: refused.
  if (!(timeout > 0.0f) || !(timeout < 2147483648.0f)) return Fail(kErrWrongParameters);
  DeviceState.n232TimeOut = static_cast<int32_t>(timeout);
  return 0;
}

extern "C" int VELDC_API SetWinSockTimeOut(short seconds) {
  if (seconds <= 0) return Fail(kErrWrongParameters);
  DeviceState.nWinSockTimeOut = static_cast<uint32_t>(seconds) * 1000u;
  return 0;
}

extern "C" int VELDC_API Get232TimeOut(void) { return DeviceState.n232TimeOut; }

extern "C" int VELDC_API GetWinSockTimeOut(void) {
  return static_cast<int>(DeviceState.nWinSockTimeOut / 1000u);
}

extern "C" int VELDC_API GetVeldcVersion(char *version) {
  return ReportVersion("VELDC.DLL", kErrInternal, version);
}

extern "C" int VELDC_API GetKov74cVersion(char *version) {
  return ReportVersion("KOV74C.DLL", kErrKov74DllNotFound, version);
}
