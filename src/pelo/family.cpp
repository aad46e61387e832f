// The Pelo family's entries of the link table: a terminal's command in a data datagram, the
// adapter's acknowledgement, the terminal's reply in a data datagram of its own, and which
// addresses the adapter's link form allows.
#include "device/family.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/errors.h"
#include "device/device.h"
#include "device/timing.h"
#include "pelo/link.h"
#include "protocol/exchange.h"
#include "veldc.h"

namespace veldc::pelo {
namespace {

using device::bySelectedTerminal;
using device::DeviceState;

constexpr int kCollectPolls = 7;

// The command in txDatagram as a data datagram with the next sequence number: behind the
// terminal's address byte on a network link, ended with CR on a single terminal's link.
void BuildDataDatagram(const char *command) {
  PeloDatagram &tx = PeloLink.txDatagram;
  tx.wType = PELO_PKT_DATA;
  tx.wSeq = PeloNextSeq();
  std::memset(tx.szText, 0, sizeof tx.szText);
  if (PeloLink.nLinkForm == PELO_FORM_NETWORK) {
    tx.szText[0] = static_cast<char>(bySelectedTerminal);
    std::strncpy(tx.szText + 1, command, protocol::kMaxCommand);
  } else {
    std::snprintf(tx.szText, sizeof tx.szText, "%s\r", command);
  }
}

// The data datagram in rxDatagram (already acknowledged): 1 when it is the selected
// terminal's new reply (copied into `text`), 0 when it is dropped.
int TakeData(char *text) {
  const PeloDatagram &rx = PeloLink.rxDatagram;
  if (rx.wSeq == PeloLink.wLastDataSeq) return 0;  // a repetition
  if (PeloLink.nLinkForm == PELO_FORM_NETWORK) {
    if (static_cast<uint8_t>(rx.szText[0]) != bySelectedTerminal) return 0;
    std::strcpy(text, rx.szText + 1);
  } else {
    std::strcpy(text, rx.szText);
    const size_t n = std::strlen(text);
    if (n > 0) text[n - 1] = '\0';
  }
  PeloLink.wLastDataSeq = rx.wSeq;
  return 1;
}

// One poll of a reply reader: 1 when the selected terminal's reply is in `text`, 0 when
// nothing for it has come yet, -1 on failure (an init or error packet included).
int PollReply(char *text) {
  static constexpr DatagramPolicy kReply{OnDatagram::kAckTake, OnDatagram::kAckTake,
                                         OnDatagram::kPass,    OnDatagram::kFail,
                                         OnDatagram::kPass,    OnDatagram::kPass};
  switch (MeetDatagram(kReply)) {
    case Met::kFailed:
      return -1;
    case Met::kNothing:
    case Met::kPassed:
      return 0;
    case Met::kTaken:
      break;
  }
  if (PeloLink.rxDatagram.wType == PELO_PKT_INIT) return Fail(kErrInitPacket);
  return TakeData(text);
}

// One poll while the adapter is to take the datagram just sent. Data datagrams met on the way
// are acknowledged and dropped, init datagrams acknowledged.
enum class Taken { kNotYet, kTaken, kInit, kFailed };
Taken PollTaken() {
  static constexpr DatagramPolicy kTaking{OnDatagram::kAckTake, OnDatagram::kAckPass,
                                          OnDatagram::kTake,    OnDatagram::kFail,
                                          OnDatagram::kPass,    OnDatagram::kPass};
  switch (MeetDatagram(kTaking)) {
    case Met::kFailed:
      return Taken::kFailed;
    case Met::kNothing:
    case Met::kPassed:
      return Taken::kNotYet;
    case Met::kTaken:
      break;
  }
  const PeloDatagram &rx = PeloLink.rxDatagram;
  if (rx.wType == PELO_PKT_INIT) return Taken::kInit;
  return rx.wSeq == PeloLink.wSeqCounter ? Taken::kTaken : Taken::kNotYet;
}

int Receive(char *destination, device::Deadline &deadline) {
  for (;;) {
    const int r = PollReply(destination);
    if (r != 0) return r > 0 ? 0 : -1;
    if (protocol::WaitCancelled()) return -1;
    if (deadline.Expired()) return Fail(kErrWinSockTimeout);
    PeloAwait(deadline.RemainingMs());
  }
}

int64_t ReplyWait(device::ServiceWait) { return DeviceState.nWinSockTimeOut / 500; }

int SendAndWait(const char *command, char *reply) {
  BuildDataDatagram(command);
  if (!PeloFlush()) return -1;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!PeloSend()) return -1;
    const device::Deadline deadline(DeviceState.nWinSockTimeOut);
    for (;;) {
      const Taken taken = PollTaken();
      if (taken == Taken::kFailed) return -1;
      if (taken == Taken::kInit) break;  // the adapter restarted: send again at once
      // Taken: the reply follows; a reply that does not come leaves the attempt running.
      if (taken == Taken::kTaken &&
          protocol::ReceiveLine(reply, ReplyWait(device::ServiceWait::kUploadLine)) == 0) {
        return 0;
      }
      if (deadline.Expired()) break;
      if (taken == Taken::kNotYet) PeloAwait(deadline.RemainingMs());
    }
  }
  return Fail(kErrWinSockTimeout);
}

int Post(const char *command) {
  BuildDataDatagram(command);
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!PeloSend()) return -1;
    const device::Deadline deadline(DeviceState.nWinSockTimeOut);
    do {
      switch (PollTaken()) {
        case Taken::kTaken:
          return 0;
        case Taken::kInit:
          return Fail(kErrInitPacket);
        case Taken::kFailed:
          return -1;
        case Taken::kNotYet:
          PeloAwait(deadline.RemainingMs());
          break;
      }
    } while (!deadline.Expired());
  }
  return Fail(kErrWinSockTimeout);
}

int Collect(char *reply) {
  for (int poll = 0; poll < kCollectPolls; ++poll) {
    const int r = PollReply(reply);
    if (r != 0) return r > 0 ? 0 : -1;
  }
  return Fail(kErrWinSockTimeout);
}

// Which addresses the link form allows; 0 when allowed, else the refusal's code. A new
// terminal also takes any data sequence number as new.
int32_t AddressRefusal(int address) {
  PeloLink.wLastDataSeq = 0xFFFF;
  switch (PeloLink.nLinkForm) {
    case PELO_FORM_NONE:
      return kErrNoSelectedPelo;
    case PELO_FORM_NETWORK:
      return address < 1 ? kErrWrongParameters : 0;
    case PELO_FORM_SINGLE:
      return address != 0 ? kErrWrongParameters : 0;
    default:
      return 0;
  }
}

bool NamesAnyModel(const char *reply) {
  for (const char *name : {"Veld", "Dulm", "Sorvik", "Qy"}) {
    if (std::strstr(reply, name) != nullptr) return true;
  }
  return false;
}

// A terminal that answers the empty command with anything but its model name is still busy
// with something: it is told to stop and its last line read off.
int Select(int address) {
  if (const int32_t refusal = AddressRefusal(address)) return protocol::RefuseTerminal(refusal);
  using protocol::szReplyText;
  if (protocol::SendCommandText("", szReplyText) == 0 && !NamesAnyModel(szReplyText)) {
    protocol::SendCommandText(protocol::kEotCommand, szReplyText);
    protocol::ReceiveLine(szReplyText, 20);
  }
  return 1;
}

int Change(int address) {
  if (const int32_t refusal = AddressRefusal(address)) return protocol::RefuseTerminal(refusal);
  return 0;
}

}  // namespace
}  // namespace veldc::pelo

namespace veldc::device {

const LinkFamily kPeloFamily = {
    pelo::PeloArgumentsValid,
    pelo::OpenPelo,
    pelo::ClosePelo,
    pelo::SendAndWait,
    pelo::Receive,
    pelo::Post,
    pelo::Collect,
    pelo::ReplyWait,
    pelo::Select,
    pelo::Change,
    /*eotBeforeRescue=*/true,
    /*carriesModem=*/false,
};

}  // namespace veldc::device
