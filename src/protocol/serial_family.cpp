// The serial family's entries of the link table: the network interface (three-digit terminal
// addresses), the direct line and the log-on line. The three kinds share the port and the line
// reader; they differ in the frame, in judging a line, and in selecting a terminal, which is
// why this file alone among the protocol's asks which kind is open.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "device/device.h"
#include "device/family.h"
#include "device/port.h"
#include "device/timing.h"
#include "protocol/exchange.h"
#include "veldc.h"

namespace veldc::protocol {
namespace {

using device::DeviceState;
using device::WaitMs;

constexpr int kCollectReads = 1024;
// Half-seconds a listing line may take on every kind.
constexpr int64_t kListingLineWait = 20;
// A framing error with break: the one line condition ridden out.
constexpr uint32_t kBreakMask = 24;

// The line being received.
char szLine[kMaxLine + 1] = "";

bool OnNetworkInterface() { return DeviceState.nDeviceKind == DEV_SERIAL_NETWORK; }

// Collects the bytes of one serial line into szLine.
class LineAssembler {
 public:
  enum class Step { kMore, kComplete, kOverflow };
  // skipLeadingNul: NUL bytes before the first character are dropped (the answer to "%%").
  explicit LineAssembler(bool skipLeadingNul) : skipLeadingNul_(skipLeadingNul) {}
  Step Feed(uint8_t byte) {
    if (byte == '\n' && count_ == 0) return Step::kMore;
    if (byte == '\r') {
      szLine[count_] = '\0';
      return Step::kComplete;
    }
    szLine[count_] = static_cast<char>(byte);
    if (count_ == 0 && byte == 0 && skipLeadingNul_) return Step::kMore;
    ++count_;
    if (count_ > kMaxLine) {
      SetError(kErrRecordOverflow);
      return Step::kOverflow;
    }
    return Step::kMore;
  }
  int Count() const { return count_; }

 private:
  bool skipLeadingNul_;
  int count_ = 0;
};

// The first occurrence of `mark` is the line's last two characters.
bool EndsWithFirst(const char *line, int count, const char *mark) {
  const char *at = std::strstr(line, mark);
  return at != nullptr && at == line + count - 2;
}

// A complete network-interface `line` of `count` characters: the "~S"/"~R" failures, then,
// when addressed, the address check (the text after the address goes to `text`). Unaddressed
// lines are copied whole.
int JudgeNetworkLine(const char *line, int count, bool addressed, char *text) {
  if (count < 4 && addressed) return Fail(kErrCannotReceive);
  if (EndsWithFirst(line, count, "~S")) return Fail(kErrCannotSend);
  if (EndsWithFirst(line, count, "~R")) return Fail(kErrCannotReceive);
  if (!addressed) {
    std::strcpy(text, line);
    return 0;
  }
  std::strcpy(text, line + 3);
  const char digits[4] = {line[0], line[1], line[2], '\0'};
  if (std::strtol(digits, nullptr, 10) != bySelectedTerminal) return Fail(kErrWrongTerminal);
  return 0;
}

// "%03d%s\r" on the network interface, the command and "\r" on the other kinds. `frame`
// takes 127 + 5 bytes; returns the frame's length.
int BuildFrame(const char *command, char *frame) {
  if (OnNetworkInterface()) {
    return std::snprintf(frame, kMaxCommand + 5, "%03d%s\r", bySelectedTerminal, command);
  }
  return std::snprintf(frame, kMaxCommand + 5, "%s\r", command);
}

int Receive(char *destination, device::Deadline &deadline) {
  LineAssembler line(std::strcmp(szLastCommand, "%%") == 0);
  for (;;) {
    uint8_t byte = 0;
    if (!device::PortReadByte(&byte)) {
      const uint32_t mask = device::PortClearError();
      if (mask != 0) {
        SetWindowsError(static_cast<int32_t>(mask));
        if (mask != kBreakMask) return -1;
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
  if (OnNetworkInterface()) {
    const bool addressed = bAddressedReplies != 0;
    if (JudgeNetworkLine(szLine, line.Count(), addressed, destination) != 0) return -1;
    if (!addressed) WaitMs(10);
    return 0;
  }
  std::strcpy(destination, szLine);
  WaitMs(10);
  return 0;
}

int SendAndWait(const char *command, char *reply) {
  device::PortPurge(platform::kPurgeTxClear);
  device::PortPurge(platform::kPurgeRxClear);
  char frame[kMaxCommand + 5];
  const int length = BuildFrame(command, frame);
  if (!device::PortWrite(frame, static_cast<uint32_t>(length))) {
    SetWindowsError(static_cast<int32_t>(device::PortClearError()));
    return -1;
  }
  if (bLineEcho != 0) ReceiveLine(reply, 6);  // the line's echo of the command
  const int64_t t = DeviceState.n232TimeOut;
  if (std::strstr(command, "%%") != nullptr) return ReceiveLine(reply, t * 2);
  return ReceiveLine(reply, t > 10 ? t : 10);
}

int Post(const char *command) {
  // Only the output is purged: a reply already on its way stays to be collected.
  device::PortPurge(platform::kPurgeTxClear);
  char frame[kMaxCommand + 5];
  device::PortWrite(frame, static_cast<uint32_t>(BuildFrame(command, frame)));
  return 0;
}

int Collect(char *reply) {
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
  if (OnNetworkInterface()) {
    // Collected replies always carry the address, whatever the modem dialogue left set.
    return JudgeNetworkLine(szLine, line.Count(), true, reply);
  }
  std::strcpy(reply, szLine);
  return 0;
}

int64_t ReplyWait(device::ServiceWait wait) {
  if (wait == device::ServiceWait::kListingLine) return kListingLineWait;
  return static_cast<int64_t>(DeviceState.n232TimeOut) * 2;
}

void SelectOnNetworkInterface(int address) {
  device::PortTransmitChar(0x11);  // XON, in case the interface was held
  WaitMs(2000);
  device::PortPurge(platform::kPurgeRxClear);
  char select[16];
  std::snprintf(select, sizeof select, ">PS%03d\r", address);
  device::PortWriteText(select);
  WaitMs(100);
}

// The terminal stops sending what it had queued: up to three rounds of "anything more?".
void Quieten() {
  for (int round = 0; round < 3; ++round) {
    if (ReceiveLine(szReplyText, 4) != 0) return;
    ReceiveLine(szReplyText, 4);
    SendEot();
    ReceiveLine(szReplyText, 4);
  }
}

int LogonLineProcedure(int address) {
  if (ExchangeF("LOGOFF") != 0) {
    if (IdentifyTerminal() != 0 && RescueTerminal(true) != 0) return -1;
    if (ExchangeF("LOGOFF") != 0) {
      bySelectedTerminal = NO_TERMINAL;
      return -1;
    }
  }
  if (std::strcmp(szReplyText, "LOGOFF") != 0 && std::strcmp(szReplyText, "LOGOFF ??") != 0)
    return Fail(kErrLogoffReply);
  if (address != 0) {
    std::snprintf(szCommandText, sizeof szCommandText, "%s %03d", "LOGON", address);
    for (int attempt = 0;; ++attempt) {
      if (Exchange() != 0) return -1;
      if (Echoed()) break;
      if (attempt == 1) return Fail(kErrLogonReply);
    }
    ReceiveLine(szReplyText, 1);  // a line that may follow the echo
  }
  if (IdentifyTerminal() != 0) {
    bySelectedTerminal = NO_TERMINAL;
    return -1;
  }
  return 0;
}

int Select(int address) {
  switch (DeviceState.nDeviceKind) {
    case DEV_SERIAL_NETWORK:
      if (address < 1) return RefuseTerminal(kErrWrongParameters);
      SelectOnNetworkInterface(address);
      return 1;
    case DEV_SERIAL_DIRECT:
      if (address != 0) return RefuseTerminal(kErrWrongParameters);
      ExchangeF("QRX");
      bLineEcho = std::strcmp(szReplyText, "QRX") == 0 ? 1 : 0;
      SendCommandText("", szReplyText);
      Quieten();
      return 1;
    default:  // DEV_SERIAL_LOGON
      if (address > 31) return RefuseTerminal(kErrWrongParameters);
      SendCommandText("", szReplyText);
      SendCommandText("", szReplyText);
      Quieten();
      device::PortPurge(platform::kPurgeTxClear);
      device::PortPurge(platform::kPurgeRxClear);
      return LogonLineProcedure(address);
  }
}

int Change(int address) {
  switch (DeviceState.nDeviceKind) {
    case DEV_SERIAL_NETWORK:
      if (address < 1) return RefuseTerminal(kErrWrongParameters);
      SelectOnNetworkInterface(address);
      return 0;
    case DEV_SERIAL_DIRECT:
      return address == 0 ? 0 : RefuseTerminal(kErrWrongParameters);
    default:  // DEV_SERIAL_LOGON
      if (address > 31) return RefuseTerminal(kErrWrongParameters);
      if (address == 0) {
        ExchangeF("LOGOFF");
      } else {
        ExchangeF("%s %03d", "LOGON", address);
      }
      return 0;
  }
}

}  // namespace

void ResetSerialLine() { std::memset(szLine, 0, sizeof szLine); }

}  // namespace veldc::protocol

namespace veldc::device {

const LinkFamily kSerialFamily = {
    SerialArgumentsValid,     OpenSerial,       CloseSerial,       protocol::SendAndWait,
    protocol::Receive,        protocol::Post,   protocol::Collect, protocol::ReplyWait,
    protocol::Select,         protocol::Change,
    /*eotBeforeRescue=*/true,
    /*carriesModem=*/true,
};

}  // namespace veldc::device
