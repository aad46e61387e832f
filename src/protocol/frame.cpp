#include "protocol/frame.h"

#include <cstdio>
#include <cstring>

#include "device/device.h"
#include "pelo/link.h"
#include "protocol/exchange.h"

namespace veldc::protocol {

using pelo::PeloLink;

int BuildSerialFrame(const char *command, char *frame) {
  if (device::DeviceState.nDeviceKind == DEV_SERIAL_NETWORK) {
    return std::snprintf(frame, kMaxCommand + 5, "%03d%s\r", bySelectedTerminal, command);
  }
  return std::snprintf(frame, kMaxCommand + 5, "%s\r", command);
}

void BuildPeloDatagram(const char *command) {
  pelo::PeloDatagram &tx = PeloLink.txDatagram;
  tx.wType = pelo::PELO_PKT_DATA;
  tx.wSeq = pelo::PeloNextSeq();
  std::memset(tx.szText, 0, sizeof tx.szText);
  if (PeloLink.nLinkForm == pelo::PELO_FORM_NETWORK) {
    tx.szText[0] = static_cast<char>(bySelectedTerminal);
    std::strncpy(tx.szText + 1, command, kMaxCommand);
  } else {
    std::snprintf(tx.szText, sizeof tx.szText, "%s\r", command);
  }
}

}  // namespace veldc::protocol
