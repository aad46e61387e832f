// Sending a command to the selected terminal and reading its reply, for every link family.
#include "protocol/exchange.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "device/family.h"
#include "veldc.h"

namespace veldc::protocol {

char szCommandText[kTextSize] = "";
char szReplyText[kTextSize] = "";
char szLastCommand[128] = "";
int32_t bLineEcho = 0;
int32_t bAddressedReplies = 1;
const char kEotCommand[2] = {0x04, 0};

namespace {

bool waitCancellable = false;

}  // namespace

bool WaitCancelled() {
  if (!waitCancellable || !TakeCancelRequest()) return false;
  SetError(kErrCancelled);
  return true;
}

CancellableWait::CancellableWait() { waitCancellable = true; }
CancellableWait::~CancellableWait() { waitCancellable = false; }

int ReceiveLine(char *destination, int64_t halfSeconds) {
  if (destination == nullptr) return Fail(kErrWrongParameters);
  ClearError();
  device::Deadline deadline = device::Deadline::HalfSeconds(halfSeconds);
  if (!device::IsOpen()) return Fail(kErrNotInitialized);
  return device::Link().Receive(destination, deadline);
}

int SendCommandText(const char *command, char *reply) {
  ClearError();
  if (!ReadyForTerminal()) return -1;
  if (command != nullptr && std::strlen(command) > static_cast<size_t>(kMaxCommand))
    return Fail(kErrWrongParameters);
  std::strcpy(szLastCommand, command != nullptr ? command : "");
  // A reply buffer the reader could not fill is refused before anything goes out.
  if (reply == nullptr) return Fail(kErrWrongParameters);
  return device::Link().SendAndWait(szLastCommand, reply);
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

int SendEot() { return SendCommandText(kEotCommand, szReplyText); }

void CopyReply(char *destination, const char *source) {
  const size_t n = strnlen(source, kReplySize - 1);
  std::memcpy(destination, source, n);
  destination[n] = '\0';
}

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
  ResetSerialLine();
  ResetKov74Buffer();
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
