// The Kov74 family's entries of the link table: the terminal network's driver frames and
// addresses the messages itself; the library polls it for replies.
#include <cstring>

#include "core/errors.h"
#include "device/device.h"
#include "device/family.h"
#include "device/kov74.h"
#include "device/timing.h"
#include "protocol/exchange.h"

namespace veldc::protocol {
namespace {

using device::DeviceState;

// Half-seconds a listing line may take.
constexpr int64_t kListingLineWait = 20;
constexpr int kSelectPolls = 10;

// The driver's receive buffer: byte 0 the sender, the text from byte 1.
char szReceived[device::kov74::kRecordSize] = "";

// The message in szReceived, if it came from the selected terminal.
int TakeMessage(char *destination) {
  if (static_cast<uint8_t>(szReceived[0]) != bySelectedTerminal) return Fail(kErrWrongTerminal);
  CopyReply(destination, szReceived + 1);
  return 0;
}

int Receive(char *destination, device::Deadline &deadline) {
  int r = device::Kov74Poll(bySelectedTerminal, szReceived);
  while (r != 2) {
    device::WaitMs(5);
    if (WaitCancelled()) return -1;
    if (deadline.Expired()) return Fail(kErrNoReply);
    r = device::Kov74Poll(bySelectedTerminal, szReceived);
  }
  return TakeMessage(destination);
}

// The driver takes shorter messages than the other families.
bool TooLong(const char *command) {
  return std::strlen(command) > static_cast<size_t>(kMaxKov74Command);
}

int SendAndWait(const char *command, char *reply) {
  if (TooLong(command)) return Fail(kErrWrongParameters);
  for (int attempt = 0; attempt < 3; ++attempt) {
    device::Kov74Poll(bySelectedTerminal, szReceived);  // discards what was waiting
    if (device::Kov74Send(bySelectedTerminal, command) == 0) {
      return ReceiveLine(reply, static_cast<int64_t>(DeviceState.n232TimeOut) * 2);
    }
  }
  return Fail(kErrCannotSend);
}

int Post(const char *command) {
  if (TooLong(command)) return Fail(kErrWrongParameters);
  device::Kov74Poll(bySelectedTerminal, szReceived);  // discards what was waiting
  if (device::Kov74Send(bySelectedTerminal, command) == 0) return 0;
  return Fail(kErrCannotSend);
}

int Collect(char *reply) {
  if (device::Kov74Poll(bySelectedTerminal, szReceived) != 2) return Fail(kErrNoReply);
  return TakeMessage(reply);
}

int64_t ReplyWait(device::ServiceWait wait) {
  if (wait == device::ServiceWait::kListingLine) return kListingLineWait;
  return static_cast<int64_t>(DeviceState.n232TimeOut) * 2;
}

// The driver reports the terminal present; a terminal with a message waiting is told to stop.
int Select(int address) {
  if (address < 1) return RefuseTerminal(kErrWrongParameters);
  for (int poll = 0; poll < kSelectPolls; ++poll) {
    const int r = device::Kov74Poll(address, szReceived);
    if (r == 1) return 1;
    if (r == 2) {
      SendEot();
      device::Kov74Poll(address, szReceived);
    }
  }
  return RefuseTerminal(kErrCannotTalk);
}

int Change(int address) { return address >= 1 ? 0 : RefuseTerminal(kErrWrongParameters); }

}  // namespace

void ResetKov74Buffer() { std::memset(szReceived, 0, sizeof szReceived); }

}  // namespace veldc::protocol

namespace veldc::device {

const LinkFamily kKov74Family = {
    Kov74ArgumentsValid,       OpenKov74,        CloseKov74,        protocol::SendAndWait,
    protocol::Receive,         protocol::Post,   protocol::Collect, protocol::ReplyWait,
    protocol::Select,          protocol::Change,
    /*eotBeforeRescue=*/false,
    /*carriesModem=*/false,
};

}  // namespace veldc::device
