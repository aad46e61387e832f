// Sending a command to the selected terminal and reading its reply, for every link family.
#include "protocol/exchange.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "device/kov74.h"
#include "device/port.h"
#include "device/timing.h"
#include "pelo/link.h"
#include "protocol/frame.h"
#include "protocol/line.h"
#include "veldc.h"

namespace veldc::protocol {

using device::DeviceState;
using device::Family;
using device::WaitMs;

char szCommandText[kTextSize] = "";
char szReplyText[kTextSize] = "";
char szLastCommand[128] = "";
char szRecord[device::kov74::kRecordSize] = "";
int32_t bLineEcho = 0;
int32_t bAddressedReplies = 1;
const char kEotCommand[2] = {0x04, 0};

namespace {

bool waitCancellable = false;

// A cancellable wait's end at the host's request.
bool WaitCancelled() {
  if (!waitCancellable || !TakeCancelRequest()) return false;
  SetError(kErrCancelled);
  return true;
}

int ReceiveKov74(char *destination, device::Deadline &deadline) {
  int r = device::Kov74Poll(bySelectedTerminal, szRecord);
  while (r != 2) {
    WaitMs(5);
    if (WaitCancelled()) return -1;
    if (deadline.Expired()) return Fail(kErrNoReply);
    r = device::Kov74Poll(bySelectedTerminal, szRecord);
  }
  if (static_cast<uint8_t>(szRecord[0]) != bySelectedTerminal) return Fail(kErrWrongTerminal);
  CopyReply(destination, szRecord + 1);
  return 0;
}

int ReceiveSerial(char *destination, device::Deadline &deadline) {
  LineAssembler line(std::strcmp(szLastCommand, "%%") == 0);
  for (;;) {
    uint8_t byte = 0;
    if (!device::PortReadByte(&byte)) {
      const uint32_t mask = device::PortClearError();
      if (mask != 0) {
        SetWindowsError(static_cast<int32_t>(mask));
        // A framing error with break is the one line condition ridden out.
        if (mask != 24) return -1;
        WaitMs(2000);
      }
      // Taken before the wait, which may last until the deadline.
      if (WaitCancelled()) return -1;
      device::PortAwaitInput(2, deadline.RemainingMs());
    } else {
      const LineAssembler::Step step = line.Feed(byte);
      if (step == LineAssembler::Step::kOverflow) return -1;
      if (step == LineAssembler::Step::kComplete) break;
    }
    if (deadline.Expired()) return Fail(line.Count() != 0 ? kErrBadEndOfRecord : kErrNoReply);
  }
  if (DeviceState.nDeviceKind == DEV_SERIAL_NETWORK) {
    const bool addressed = bAddressedReplies != 0;
    if (JudgeNetworkLine(line.Count(), addressed, destination) != 0) return -1;
    if (!addressed) WaitMs(10);
    return 0;
  }
  std::strcpy(destination, szRecord);
  WaitMs(10);
  return 0;
}

int ReceivePelo(char *destination, device::Deadline &deadline) {
  for (;;) {
    const int r = PollPeloReply(destination);
    if (r != 0) return r > 0 ? 0 : -1;
    if (WaitCancelled()) return -1;
    if (deadline.Expired()) return Fail(kErrWinSockTimeout);
    pelo::PeloAwait(deadline.RemainingMs());
  }
}

int SendKov74(char *reply) {
  if (std::strlen(szLastCommand) > static_cast<size_t>(kMaxKov74Command))
    return Fail(kErrWrongParameters);
  for (int attempt = 0; attempt < 3; ++attempt) {
    device::Kov74Poll(bySelectedTerminal, szRecord);  // discards what was waiting
    if (device::Kov74Send(bySelectedTerminal, szLastCommand) == 0) {
      return ReceiveLine(reply, static_cast<int64_t>(DeviceState.n232TimeOut) * 2);
    }
  }
  return Fail(kErrCannotSend);
}

int SendSerial(char *reply) {
  device::PortPurge(platform::kPurgeTxClear);
  device::PortPurge(platform::kPurgeRxClear);
  char frame[kMaxCommand + 5];
  const int length = BuildSerialFrame(szLastCommand, frame);
  if (!device::PortWrite(frame, static_cast<uint32_t>(length))) {
    SetWindowsError(static_cast<int32_t>(device::PortClearError()));
    return -1;
  }
  if (bLineEcho != 0) ReceiveLine(reply, 6);  // the line's echo of the command
  const int64_t t = DeviceState.n232TimeOut;
  if (std::strstr(szLastCommand, "%%") != nullptr) return ReceiveLine(reply, t * 2);
  return ReceiveLine(reply, t > 10 ? t : 10);
}

int SendPelo(char *reply) {
  BuildPeloDatagram(szLastCommand);
  if (!pelo::PeloFlush()) return -1;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!pelo::PeloSend()) return -1;
    const device::Deadline deadline(DeviceState.nWinSockTimeOut);
    for (;;) {
      const PeloTaken taken = PollPeloTaken();
      if (taken == PeloTaken::kFailed) return -1;
      if (taken == PeloTaken::kInit) break;  // the adapter restarted: send again at once
      // Taken: the reply follows; a reply that does not come leaves the attempt running.
      if (taken == PeloTaken::kTaken &&
          ReceiveLine(reply, DeviceState.nWinSockTimeOut / 500) == 0) {
        return 0;
      }
      if (deadline.Expired()) break;
      if (taken == PeloTaken::kNotYet) pelo::PeloAwait(deadline.RemainingMs());
    }
  }
  return Fail(kErrWinSockTimeout);
}

}  // namespace

CancellableWait::CancellableWait() { waitCancellable = true; }
CancellableWait::~CancellableWait() { waitCancellable = false; }

int ReceiveLine(char *destination, int64_t halfSeconds) {
  if (destination == nullptr) return Fail(kErrWrongParameters);
  ClearError();
  device::Deadline deadline = device::Deadline::HalfSeconds(halfSeconds);
  switch (device::OpenFamily()) {
    case Family::kKov74:
      return ReceiveKov74(destination, deadline);
    case Family::kSerial:
      return ReceiveSerial(destination, deadline);
    case Family::kPelo:
      return ReceivePelo(destination, deadline);
    case Family::kNone:
      break;
  }
  return Fail(kErrNotInitialized);
}

int SendCommandText(const char *command, char *reply) {
  ClearError();
  if (!ReadyForTerminal()) return -1;
  if (command != nullptr && std::strlen(command) > static_cast<size_t>(kMaxCommand))
    return Fail(kErrWrongParameters);
  std::strcpy(szLastCommand, command != nullptr ? command : "");
  // A reply buffer the reader could not fill is refused before anything goes out.
  if (reply == nullptr) return Fail(kErrWrongParameters);
  switch (device::OpenFamily()) {
    case Family::kKov74:
      return SendKov74(reply);
    case Family::kSerial:
      return SendSerial(reply);
    case Family::kPelo:
      return SendPelo(reply);
    case Family::kNone:
      break;
  }
  return -1;
}

bool ReadyForTerminal() {
  if (!device::IsOpen()) {
    SetError(kErrNotInitialized);
    return false;
  }
  if (bySelectedTerminal == NO_TERMINAL) {
    SetError(kErrNoTerminal);
    return false;
  }
  return true;
}

bool Echoed(size_t length) { return std::strncmp(szReplyText, szCommandText, length) == 0; }

int ExpectEcho(int32_t refused) { return Echoed() ? 0 : Fail(refused); }

int Exchange() { return SendCommandText(szCommandText, szReplyText); }

int ExchangeF(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(szCommandText, sizeof szCommandText, format, args);
  va_end(args);
  return Exchange();
}

void ResetExchangeState() {
  szCommandText[0] = szReplyText[0] = szLastCommand[0] = '\0';
  std::memset(szRecord, 0, sizeof szRecord);
  bLineEcho = 0;
  bAddressedReplies = 1;
}

}  // namespace veldc::protocol

using namespace veldc;

extern "C" int VELDC_API SendCommand(const char *command, char *reply) {
  return protocol::SendCommandText(command, reply);
}

extern "C" int VELDC_API GetMsgEx(char *message) {
  ClearError();
  if (message == nullptr) return Fail(kErrWrongParameters);
  if (!protocol::ReadyForTerminal()) return -1;
  const protocol::CancellableWait wait;
  return protocol::ReceiveLine(message, 2);
}
