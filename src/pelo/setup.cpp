// Connecting to a Pelo adapter by its IPv4 address, and resetting it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "device/device.h"
#include "device/timing.h"
#include "meter/meter.h"
#include "pelo/link.h"
#include "veldc.h"

namespace veldc::pelo {

using device::DeviceState;
using platform::kWsInvalidSocket;
using platform::kWsSocketError;

namespace {

constexpr int kAfInet = 2;
constexpr int kSockDgram = 2;
constexpr uint32_t kCleanOutMs = 500;
constexpr uint32_t kPauseBeforeStatusMs = 100;
constexpr uint32_t kMeterStepMs = 100;
constexpr int32_t kOkDisplayMs = 500;
constexpr uint16_t kGreetingSeq = 0;
constexpr size_t kAddressMin = 7;
constexpr size_t kAddressMax = 15;

// The connect meter's texts and bar, when the switch is on; closed on every way out of
// SetIPAddress.
class ConnectMeter {
 public:
  void Open() { scope_.Open(); }
  void Status(const char *text) const {
    if (enabled_) meter::SetConnectText(meter::kItemStatus, text);
  }
  void Address(const char *text) const {
    if (enabled_) meter::SetConnectText(meter::kItemAddress, text);
  }
  void Progress(uint32_t elapsedMs) const {
    if (enabled_) meter::ConnectProgress(elapsedMs);
  }
  // "OK !" with the bar at four fifths, left in view for half a second.
  void ShowSuccess() const {
    if (!enabled_) return;
    Status("OK !");
    Progress(static_cast<uint32_t>(uint64_t{DeviceState.nWinSockTimeOut} * 4 / 5));
    device::WaitMs(kOkDisplayMs);
  }

 private:
  meter::MeterScope scope_{meter::MeterScope::Kind::kConnect, DeviceState.nWinSockTimeOut};
  const bool enabled_ = scope_.On();
};

// Only the canonical dotted-decimal form: what inet_addr reads and inet_ntoa writes back the
// same. Leading zeros, blanks, hexadecimal and short forms all fail the round trip.
bool CanonicalAddress(const char *text, uint32_t *address) {
  const size_t length = strnlen(text, kAddressMax + 1);
  if (length < kAddressMin || length > kAddressMax) return false;
  auto &ws = DeviceState.WinSockTable;
  const uint32_t a = ws.inet_addr(text);
  if (a == platform::kWsInaddrNone) return false;
  const char *back = ws.inet_ntoa(a);
  if (back == nullptr || std::strcmp(back, text) != 0) return false;
  *address = a;
  return true;
}

platform::WsSockAddrIn SocketAddress(uint32_t networkAddress) {
  platform::WsSockAddrIn sa{};
  sa.sin_family = kAfInet;
  sa.sin_port = DeviceState.WinSockTable.htons(DeviceState.wUdpPort);
  sa.sin_addr = networkAddress;
  return sa;
}

// Steps 5 to 8 of the set-up: a fresh non-blocking UDP socket bound to the Pelo port.
bool MakeSocket() {
  auto &ws = DeviceState.WinSockTable;
  if (DeviceState.hSocket != kWsInvalidSocket) {
    ws.closesocket(DeviceState.hSocket);
    DeviceState.hSocket = kWsInvalidSocket;
  }
  DeviceState.hSocket = ws.socket(kAfInet, kSockDgram, 0);
  if (DeviceState.hSocket == kWsInvalidSocket) {
    SetWinSockErrorCode(kErrCreateSocket, ws.WSAGetLastError());
    CloseAfterFailure();
    return false;
  }
  PeloLink.localAddr = SocketAddress(ws.htonl(0));
  if (ws.bind(DeviceState.hSocket, &PeloLink.localAddr, sizeof PeloLink.localAddr) ==
      kWsSocketError) {
    SetWinSockErrorCode(kErrBindSocket, ws.WSAGetLastError());
    CloseAfterFailure();
    return false;
  }
  uint32_t nonBlocking = 1;
  if (ws.ioctlsocket(DeviceState.hSocket, platform::kWsFionbio, &nonBlocking) == kWsSocketError) {
    SetWinSockErrorCode(kErrSocketMode, ws.WSAGetLastError());
    CloseAfterFailure();
    return false;
  }
  return true;
}

// Whatever the adapter sent before our status request, for at most half a second. An init or
// data datagram is acknowledged and ends it as the clean-out of an exchange does.
bool CleanOut() {
  const device::Deadline deadline(kCleanOutMs);
  static constexpr DatagramPolicy kCleanOut{OnDatagram::kAckDrainTake, OnDatagram::kAckDrainTake,
                                            OnDatagram::kPass,         OnDatagram::kFail,
                                            OnDatagram::kPass,         OnDatagram::kPass};
  for (;;) {
    switch (MeetDatagram(kCleanOut)) {
      case Met::kFailed:
        return false;
      case Met::kNothing:
      case Met::kTaken:
        return true;
      case Met::kPassed:
        if (deadline.Expired()) return true;
        break;
    }
  }
}

bool IsStatusReply(const PeloDatagram &d) {
  return d.wType == PELO_PKT_COMMAND && std::strchr(d.szText, 'V') != nullptr;
}

// Waits for the adapter's status reply (a command datagram with "V" in it).
bool AwaitStatus(const ConnectMeter &meter) {
  const device::Deadline deadline(DeviceState.nWinSockTimeOut);
  static constexpr DatagramPolicy kStatus{OnDatagram::kAckTake, OnDatagram::kAckTake,
                                          OnDatagram::kPass,    OnDatagram::kFail,
                                          OnDatagram::kTake,    OnDatagram::kPass};
  for (;;) {
    switch (MeetDatagram(kStatus)) {
      case Met::kFailed:
        return false;
      case Met::kNothing:
      case Met::kPassed:
        meter.Progress(deadline.ElapsedMs());
        break;
      case Met::kTaken:
        if (IsStatusReply(PeloLink.rxDatagram)) return true;
        // Another command reply moves nothing; an init or data datagram was acknowledged.
        if (PeloLink.rxDatagram.wType != PELO_PKT_COMMAND) {
          meter.Status("Data..");
          meter.Progress(deadline.ElapsedMs());
        }
        break;
    }
    if (deadline.Expired()) {
      SetError(kErrWinSockTimeout);
      return false;
    }
    // Short enough waits that the connect meter's bar keeps moving.
    PeloAwait(std::min<uint32_t>(deadline.RemainingMs(), kMeterStepMs));
  }
}

}  // namespace

}  // namespace veldc::pelo

using namespace veldc;
using namespace veldc::pelo;

extern "C" int VELDC_API SetIPAddress(const char *address) {
  if (address == nullptr) return Fail(kErrWrongParameters);
  // Whatever follows, the earlier adapter's form and terminal no longer hold.
  ClearError();
  PeloLink.nLinkForm = PELO_FORM_NETWORK;
  PeloLink.nSavedLinkForm = PELO_FORM_NETWORK;
  device::bySelectedTerminal = device::NO_TERMINAL;

  if (!device::IsOpen()) return Fail(kErrNotInitialized);
  // The adapter's address belongs to the Pelo family alone.
  if (DeviceState.nDeviceKind != DEV_PELO) return Fail(kErrWrongDevice);
  uint32_t adapter = 0;
  if (!CanonicalAddress(address, &adapter)) return Fail(kErrWrongParameters);
  if (!MakeSocket()) return -1;

  auto &ws = DeviceState.WinSockTable;
  PeloLink.remoteAddr = SocketAddress(adapter);
  ConnectMeter meter;
  meter.Open();
  const int connected =
      ws.connect(DeviceState.hSocket, &PeloLink.remoteAddr, sizeof PeloLink.remoteAddr);
  meter.Address(address);
  meter.Status("Connect Socket");
  if (connected == kWsSocketError) {
    SetWinSockErrorCode(kErrConnectSocket, ws.WSAGetLastError());
    return -1;
  }

  // The greeting: an acknowledgement of sequence number 0.
  PeloLink.rxDatagram.wSeq = kGreetingSeq;
  PeloAck();

  // The status request is not numbered.
  PeloBuild(PELO_PKT_COMMAND, 0, "X");
  if (!CleanOut()) return -1;
  platform::Os().SleepMs(kPauseBeforeStatusMs);
  const bool sent = PeloSend();
  meter.Status("Status Request");
  if (!sent) return -1;
  if (!AwaitStatus(meter)) return -1;

  meter.ShowSuccess();
  const int32_t form = std::strstr(PeloLink.rxDatagram.szText, "C3") != nullptr ? PELO_FORM_NETWORK
                                                                                : PELO_FORM_SINGLE;
  PeloLink.nLinkForm = form;
  PeloLink.nSavedLinkForm = form;
  PeloLink.dwConnectedPeloAddr = adapter;
  PeloLink.dwSelectedPeloAddr = adapter;
  return 0;
}

extern "C" int VELDC_API PeloReset(void) {
  ClearError();
  // The adapter's reset belongs to the Pelo family alone.
  if (DeviceState.nDeviceKind != DEV_PELO) return Fail(kErrNotInitialized);
  PeloBuild(PELO_PKT_COMMAND, PeloNextSeq(), "%");
  // The same datagram three times: the adapter may miss one, and a reset answers nothing.
  for (int i = 0; i < 3; ++i) {
    if (!PeloSend()) return -1;
  }
  return 0;
}

extern "C" int VELDC_API GetLocalIPAddress(char *address) {
  if (address == nullptr) return Fail(kErrWrongParameters);
  // The PC's address on the network is asked of the Pelo family alone.
  if (DeviceState.nDeviceKind != DEV_PELO) return Fail(kErrNotInitialized);
  const auto &ws = DeviceState.WinSockTable;
  if (ws.gethostname(address, 128) != 0) return Fail(kErrWinSock);
  const platform::WsHostEnt *host = ws.gethostbyname(address);
  if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr)
    return Fail(kErrWinSock);
  const auto *a = reinterpret_cast<const unsigned char *>(host->h_addr_list[0]);
  std::snprintf(address, 128, "%hu.%hu.%hu.%hu", static_cast<unsigned short>(a[0]),
                static_cast<unsigned short>(a[1]), static_cast<unsigned short>(a[2]),
                static_cast<unsigned short>(a[3]));
  return 0;
}
