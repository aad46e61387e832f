#include "library_state.h"

#include "core/errors.h"
#include "device/device.h"
#include "device/trace.h"
#include "meter/meter.h"
#include "pelo/link.h"
#include "protocol/exchange.h"

namespace veldc {

void ResetLibraryState() {
  nErrorCode = kErrNone;
  szErrorText[0] = '\0';
  pfnWinSockLastError = nullptr;
  platform::LastOsFailure() = platform::OsFailure{};
  DropCancelRequest();
  device::ResetDeviceState();
  device::ResetTrace();
  pelo::ResetPeloLink();
  protocol::ResetExchangeState();
  protocol::ResetSelectionState();
  meter::ResetMeterState();
}

}  // namespace veldc
