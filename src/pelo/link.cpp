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

constexpr const char *kWinSockName = "WSOCK32.DLL";

using device::ReleaseWinSock;

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
  // Anything else, an error packet included, is read and left unanswered.
  static constexpr DatagramPolicy kFlush{OnDatagram::kAckDrainTake, OnDatagram::kAckDrainTake,
                                         OnDatagram::kTake,         OnDatagram::kTake,
                                         OnDatagram::kTake,         OnDatagram::kTake};
  return MeetDatagram(kFlush) != Met::kFailed;
}

void PeloAckAndDrain() {
  PeloAck();
  PeloDrain();
  PeloAck();
}

Met MeetDatagram(const DatagramPolicy &policy) {
  switch (PeloPoll()) {
    case PollResult::kFailed:
      return Met::kFailed;
    case PollResult::kNothing:
      return Met::kNothing;
    case PollResult::kDatagram:
      break;
  }
  OnDatagram on = policy.other;
  switch (PeloLink.rxDatagram.wType) {
    case PELO_PKT_INIT:
      on = policy.init;
      break;
    case PELO_PKT_DATA:
      on = policy.data;
      break;
    case PELO_PKT_ACK:
      on = policy.ack;
      break;
    case PELO_PKT_ERROR:
      on = policy.error;
      break;
    case PELO_PKT_COMMAND:
      on = policy.command;
      break;
    default:
      break;
  }
  switch (on) {
    case OnDatagram::kPass:
      return Met::kPassed;
    case OnDatagram::kAckPass:
      PeloAck();
      return Met::kPassed;
    case OnDatagram::kTake:
      return Met::kTaken;
    case OnDatagram::kAckTake:
      PeloAck();
      return Met::kTaken;
    case OnDatagram::kAckDrainTake:
      PeloAckAndDrain();
      return Met::kTaken;
    case OnDatagram::kFail:
      break;
  }
  SetError(kErrErrorPacket);
  return Met::kFailed;
}

bool PeloArgumentsValid(int port, int, int speed, int format) {
  return port > 0 && speed == 0 && format == 0;
}

int OpenPelo(int port, int, int, int) {
  DeviceState.wUdpPort = static_cast<uint16_t>(port & 0xFFFF);
  ResetLinkForms();
  auto &os = platform::Os();
  if (!os.ModuleOnSearchPath(kWinSockName)) return Fail(kErrWinSockDllNotFound);
  DeviceState.hWinSock = os.ModuleLoad(kWinSockName);
  if (DeviceState.hWinSock == platform::kNoHandle) return Fail(kErrWinSockDllNotFound);
  void **entries = reinterpret_cast<void **>(&DeviceState.WinSockTable);
  for (int i = 0; i < platform::kWinSockEntryCount; ++i) {
    entries[i] = os.ModuleSymbol(DeviceState.hWinSock, platform::kWinSockEntryNames[i]);
    if (entries[i] == nullptr) {
      ReleaseWinSock();
      return Fail(kErrNoWinSockFunctions);
    }
  }
  auto &ws = DeviceState.WinSockTable;
  pfnWinSockLastError = ws.WSAGetLastError;
  platform::WsData data{};
  const int started = ws.WSAStartup(0x0101, &data);
  if (started != 0) {
    SetWinSockErrorCode(kErrWinSockStartup, started);
    ws.WSACleanup();
    ReleaseWinSock();
    return -1;
  }
  if ((data.wVersion & 0xFF) != 1 || (data.wVersion >> 8) != 1) {
    // A zero version word would read as "use WSAGetLastError" in SetWinSockError.
    SetWinSockErrorCode(kErrWinSockVersion, data.wVersion);
    ws.WSACleanup();
    ReleaseWinSock();
    return -1;
  }
  DeviceState.nDeviceKind = DEV_PELO;
  return DeviceState.wUdpPort;
}

int ClosePelo() {
  auto &ws = DeviceState.WinSockTable;
  if (DeviceState.hSocket != platform::kWsInvalidSocket) {
    ws.closesocket(DeviceState.hSocket);
    DeviceState.hSocket = platform::kWsInvalidSocket;
  }
  if (ws.WSACleanup() == platform::kWsSocketError) {
    SetWinSockErrorCode(kErrCloseWinSock, ws.WSAGetLastError());
    return -1;
  }
  ReleaseWinSock();
  return 0;
}

void CloseAfterFailure() {
  ErrorKeeper keep;
  if (ClosePelo() != 0) ReleaseWinSock();
  device::ForgetDevice();
}

void ResetPeloLink() { PeloLink = PeloLinkState{}; }

}  // namespace veldc::pelo
