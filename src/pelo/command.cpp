// Commands to the Pelo adapter itself: status, reset, its address and its link form.
#include <cstdint>
#include <cstring>

#include "core/errors.h"
#include "device/device.h"
#include "device/timing.h"
#include "pelo/link.h"
#include "veldc.h"

namespace veldc::pelo {

using device::DeviceState;

namespace {

constexpr size_t kMaxCommand = 127;
// An adapter resetting takes a few seconds whatever the host's time-out says.
constexpr uint32_t kResetWaitFloorMs = 4000;
constexpr int kAttempts = 3;

enum class Outcome { kDone, kFailed, kNoAnswer };

bool AcknowledgesOurs(const PeloDatagram &d) {
  return d.wType == PELO_PKT_ACK && d.wSeq == PeloLink.wSeqCounter;
}

// Switches the socket to the address chosen by an earlier "A" command, if it differs.
bool ConnectSelected() {
  if (PeloLink.dwSelectedPeloAddr == PeloLink.dwConnectedPeloAddr) return true;
  PeloLink.remoteAddr.sin_addr = PeloLink.dwSelectedPeloAddr;
  PeloLink.dwConnectedPeloAddr = PeloLink.dwSelectedPeloAddr;
  auto &ws = DeviceState.WinSockTable;
  if (ws.connect(DeviceState.hSocket, &PeloLink.remoteAddr, sizeof PeloLink.remoteAddr) ==
      platform::kWsSocketError) {
    SetWinSockErrorCode(kErrConnectSocket, ws.WSAGetLastError());
    return false;
  }
  return true;
}

// "%": the adapter restarts at the chosen address and in the chosen form; it answers with
// an init packet or with the acknowledgement of the reset.
int ResetExchange(char *reply) {
  const uint32_t limit = DeviceState.nWinSockTimeOut >= kResetWaitFloorMs
                             ? DeviceState.nWinSockTimeOut
                             : kResetWaitFloorMs;
  if (!PeloSend()) return -1;
  if (!ConnectSelected()) return -1;
  PeloLink.nLinkForm = PeloLink.nSavedLinkForm;
  const device::Deadline deadline(limit);
  static constexpr DatagramPolicy kReset{OnDatagram::kAckTake, OnDatagram::kAckPass,
                                         OnDatagram::kTake,    OnDatagram::kFail,
                                         OnDatagram::kPass,    OnDatagram::kPass};
  for (;;) {
    const Met met = MeetDatagram(kReset);
    if (met == Met::kFailed) return -1;
    if (met == Met::kTaken) {
      if (PeloLink.rxDatagram.wType == PELO_PKT_INIT) {
        std::strcpy(reply, "UDP_INIT");
        return 0;
      }
      if (AcknowledgesOurs(PeloLink.rxDatagram)) return 0;
    }
    if (deadline.Expired()) return Fail(kErrWinSockTimeout);
    PeloAwait(deadline.RemainingMs());
  }
}

// The reply to an ordinary command; "A" and "C" commands choose what the next reset uses.
void TakeReply(const char *command, char *reply) {
  std::strcpy(reply, PeloLink.rxDatagram.szText);
  if (std::strcmp(command, "X") == 0) {
    const size_t n = std::strlen(reply);
    if (n > 0) reply[n - 1] = '\0';
  }
  if (std::strchr(command, 'A') != nullptr) {
    PeloLink.dwSelectedPeloAddr = DeviceState.WinSockTable.inet_addr(command + 1);
  }
  if (std::strchr(command, 'C') != nullptr) {
    PeloLink.nSavedLinkForm =
        std::strstr(command, "C3") != nullptr ? PELO_FORM_NETWORK : PELO_FORM_SINGLE;
  }
}

// One attempt of the ordinary exchange: send, then wait up to the WinSock time-out.
Outcome Attempt(const char *command, char *reply) {
  if (!PeloSend()) return Outcome::kFailed;
  const device::Deadline deadline(DeviceState.nWinSockTimeOut);
  // A terminal's text has no place in an adapter exchange: taken off the adapter's hands, and
  // the call fails without a code of its own.
  static constexpr DatagramPolicy kAdapter{OnDatagram::kAckPass, OnDatagram::kAckTake,
                                           OnDatagram::kTake,    OnDatagram::kFail,
                                           OnDatagram::kTake,    OnDatagram::kPass};
  for (;;) {
    const Met met = MeetDatagram(kAdapter);
    if (met == Met::kFailed) return Outcome::kFailed;
    if (met == Met::kTaken) {
      switch (PeloLink.rxDatagram.wType) {
        case PELO_PKT_COMMAND:
          TakeReply(command, reply);
          return Outcome::kDone;
        case PELO_PKT_DATA:
          return Outcome::kFailed;
        default:
          if (AcknowledgesOurs(PeloLink.rxDatagram)) return Outcome::kDone;
          break;
      }
    }
    if (deadline.Expired()) return Outcome::kNoAnswer;
    PeloAwait(deadline.RemainingMs());
  }
}

int OrdinaryExchange(const char *command, char *reply) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    switch (Attempt(command, reply)) {
      case Outcome::kDone:
        return 0;
      case Outcome::kFailed:
        return -1;
      case Outcome::kNoAnswer:
        break;
    }
  }
  return Fail(kErrWinSockTimeout);
}

}  // namespace

}  // namespace veldc::pelo

using namespace veldc;
using namespace veldc::pelo;

extern "C" int VELDC_API PeloCommand(const char *command, char *reply) {
  ClearError();
  // The adapter's own commands belong to the Pelo family alone.
  if (DeviceState.nDeviceKind != DEV_PELO) return Fail(kErrNotInitialized);
  if (command == nullptr || reply == nullptr || strnlen(command, kMaxCommand + 1) > kMaxCommand)
    return Fail(kErrWrongParameters);
  PeloBuild(PELO_PKT_COMMAND, PeloNextSeq(), command);
  if (!PeloFlush()) return -1;
  if (std::strcmp(command, "%") == 0) return ResetExchange(reply);
  return OrdinaryExchange(command, reply);
}
