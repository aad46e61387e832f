#include "pelo/link.h"

#include <cstring>

#include "core/errors.h"
#include "device/device.h"
#include "device/timing.h"
#include "device/trace.h"
#include "veldc.h"

namespace veldc::pelo {

using device::DeviceState;

PeloLinkState PeloLink;

namespace {

int SendRaw(const PeloDatagram &d, int length) {
  device::Trace(VELDC_TRACE_UDP_OUT, &d, length);
  return DeviceState.WinSockTable.send(DeviceState.hSocket, reinterpret_cast<const char *>(&d),
                                       length, 0);
}

int WireLength(const PeloDatagram &d) {
  return 4 + static_cast<int>(strnlen(d.szText, kTextSize - 1)) + 1;
}

}  // namespace

void ResetLinkForms() {
  PeloLink.nLinkForm = PELO_FORM_NONE;
  PeloLink.nSavedLinkForm = PELO_FORM_NONE;
}

uint16_t PeloNextSeq() {
  uint16_t v = static_cast<uint16_t>(PeloLink.wSeqCounter + 1);
  if (v > 255) v = 0;
  PeloLink.wSeqCounter = v;
  return v;
}

void PeloBuild(uint16_t type, uint16_t seq, const char *text) {
  PeloDatagram &d = PeloLink.txDatagram;
  d.wType = type;
  d.wSeq = seq;
  std::memset(d.szText, 0, sizeof d.szText);
  std::strncpy(d.szText, text, kTextSize - 1);
}

bool PeloSend() {
  const PeloDatagram &d = PeloLink.txDatagram;
  if (SendRaw(d, WireLength(d)) == platform::kWsSocketError) {
    SetWinSockErrorCode(kErrSendMessage, DeviceState.WinSockTable.WSAGetLastError());
    return false;
  }
  return true;
}

PollResult PeloPoll() {
  auto &ws = DeviceState.WinSockTable;
  PeloDatagram &rx = PeloLink.rxDatagram;
  int n = ws.recv(DeviceState.hSocket, reinterpret_cast<char *>(&rx), kReadLimit, 0);
  if (n == platform::kWsSocketError) {
    const int err = SetWinSockErrorCode(kErrReceiveMessage, ws.WSAGetLastError());
    if (err == platform::kWsaEWouldBlock) {
      ClearError();
      return PollResult::kNothing;
    }
    // A datagram longer than the limit still leaves its first bytes; keep the record ended.
    rx.szText[kTextSize - 2] = rx.szText[kTextSize - 1] = '\0';
    return PollResult::kFailed;
  }
  // A datagram socket has no connection to close: 0 bytes is an empty datagram, read as a runt
  // below. Taking it for the end would drop the real reply behind it and send the command again.
  if (n > kReadLimit) n = kReadLimit;
  device::Trace(VELDC_TRACE_UDP_IN, &rx, n);
  // Nothing of an earlier, longer datagram may show through a shorter one (whose text need
  // not even end with its zero); and a runt shorter than the header is of no known type.
  std::memset(reinterpret_cast<char *>(&rx) + n, 0, sizeof rx - static_cast<size_t>(n));
  if (n < 4) rx.wType = 0;
  return PollResult::kDatagram;
}

void PeloAwait(uint32_t limitMs) { platform::Os().SocketWaitInput(DeviceState.hSocket, limitMs); }

bool PeloAck() {
  PeloDatagram &ack = PeloLink.ackDatagram;
  ack.wType = PELO_PKT_ACK;
  ack.wSeq = PeloLink.rxDatagram.wSeq;
  ack.szText[0] = '\0';
  device::WaitMs(4);
  if (SendRaw(ack, 5) == platform::kWsSocketError) return false;
  device::WaitMs(4);
  return true;
}

void PeloDrain() {
  auto &ws = DeviceState.WinSockTable;
  PeloDatagram &rx = PeloLink.rxDatagram;
  // A peer that never stops sending must not hold the caller for ever.
  const device::Deadline deadline(DeviceState.nWinSockTimeOut);
  for (;;) {
    const int n = ws.recv(DeviceState.hSocket, reinterpret_cast<char *>(&rx), kReadLimit, 0);
    if (n == platform::kWsSocketError) break;
    device::Trace(VELDC_TRACE_UDP_IN, &rx, n > kReadLimit ? kReadLimit : n);
    if (deadline.Expired()) break;
  }
  rx.szText[kTextSize - 2] = rx.szText[kTextSize - 1] = '\0';
}

bool PeloFlush() {
  switch (PeloPoll()) {
    case PollResult::kFailed:
      return false;
    case PollResult::kNothing:
      return true;
    case PollResult::kDatagram:
      break;
  }
  const uint16_t type = PeloLink.rxDatagram.wType;
  if (type == PELO_PKT_INIT || type == PELO_PKT_DATA) PeloAckAndDrain();
  return true;
}

void PeloAckAndDrain() {
  PeloAck();
  PeloDrain();
  PeloAck();
}

void ResetPeloLink() { PeloLink = PeloLinkState{}; }

}  // namespace veldc::pelo
