// Posting a command without waiting for its reply, and collecting a reply that has arrived.
#include <cstring>

#include "core/errors.h"
#include "device/kov74.h"
#include "device/port.h"
#include "device/timing.h"
#include "pelo/link.h"
#include "protocol/exchange.h"
#include "protocol/frame.h"
#include "protocol/line.h"
#include "veldc.h"

namespace veldc::protocol {
namespace {

using device::DeviceState;
using device::Family;

constexpr int kCollectReads = 1024;
constexpr int kCollectPolls = 7;

int PostPelo(const char *command) {
  BuildPeloDatagram(command);
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!pelo::PeloSend()) return -1;
    const device::Deadline deadline(DeviceState.nWinSockTimeOut);
    do {
      switch (PollPeloTaken()) {
        case PeloTaken::kTaken:
          return 0;
        case PeloTaken::kInit:
          return Fail(kErrInitPacket);
        case PeloTaken::kFailed:
          return -1;
        case PeloTaken::kNotYet:
          pelo::PeloAwait(deadline.RemainingMs());
          break;
      }
    } while (!deadline.Expired());
  }
  return Fail(kErrWinSockTimeout);
}

int CollectKov74(char *reply) {
  if (device::Kov74Poll(bySelectedTerminal, szRecord) != 2) return Fail(kErrNoReply);
  if (static_cast<uint8_t>(szRecord[0]) != bySelectedTerminal) return Fail(kErrWrongTerminal);
  CopyReply(reply, szRecord + 1);
  return 0;
}

int CollectSerial(char *reply) {
  LineAssembler line(false);
  for (int tries = 1;; ++tries) {
    uint8_t byte = 0;
    if (!device::PortReadByte(&byte)) {
      const uint32_t mask = device::PortClearError();
      if (mask != 0) {
        SetWindowsError(static_cast<int32_t>(mask));
        return -1;
      }
      if (line.Count() == 0) return Fail(kErrNoReply);
    } else {
      const LineAssembler::Step step = line.Feed(byte);
      if (step == LineAssembler::Step::kOverflow) return -1;
      if (step == LineAssembler::Step::kComplete) break;
    }
    if (tries >= kCollectReads) return Fail(kErrBadEndOfRecord);
  }
  if (DeviceState.nDeviceKind == DEV_SERIAL_NETWORK) {
    // Collected replies always carry the address, whatever the modem dialogue left set.
    return JudgeNetworkLine(line.Count(), true, reply);
  }
  std::strcpy(reply, szRecord);
  return 0;
}

int CollectPelo(char *reply) {
  for (int poll = 0; poll < kCollectPolls; ++poll) {
    const int r = PollPeloReply(reply);
    if (r != 0) return r > 0 ? 0 : -1;
  }
  return Fail(kErrWinSockTimeout);
}

}  // namespace
}  // namespace veldc::protocol

using namespace veldc;
using namespace veldc::protocol;

extern "C" int VELDC_API PostCommand(const char *command) {
  ClearError();
  if (!ReadyForTerminal()) return -1;
  char text[kMaxCommand + 1] = "";
  if (command != nullptr) {
    if (std::strlen(command) > static_cast<size_t>(kMaxCommand)) return Fail(kErrWrongParameters);
    std::strcpy(text, command);
  }
  switch (device::OpenFamily()) {
    case device::Family::kKov74:
      if (std::strlen(text) > static_cast<size_t>(kMaxKov74Command))
        return Fail(kErrWrongParameters);
      device::Kov74Poll(bySelectedTerminal, szRecord);  // discards what was waiting
      if (device::Kov74Send(bySelectedTerminal, text) == 0) return 0;
      return Fail(kErrCannotSend);
    case device::Family::kSerial: {
      // Only the output is purged: a reply already on its way stays to be collected.
      device::PortPurge(platform::kPurgeTxClear);
      char frame[kMaxCommand + 5];
      device::PortWrite(frame, static_cast<uint32_t>(BuildSerialFrame(text, frame)));
      return 0;
    }
    case device::Family::kPelo:
      return PostPelo(text);
    case device::Family::kNone:
      break;
  }
  return -1;
}

extern "C" int VELDC_API GetResponse(char *reply) {
  ClearError();
  if (reply == nullptr) return Fail(kErrWrongParameters);
  if (!ReadyForTerminal()) return -1;
  switch (device::OpenFamily()) {
    case device::Family::kKov74:
      return CollectKov74(reply);
    case device::Family::kSerial:
      return CollectSerial(reply);
    case device::Family::kPelo:
      return CollectPelo(reply);
    case device::Family::kNone:
      break;
  }
  return -1;
}
