// The terminal's drives and files: change drive, list, view and delete.
#include "services/files.h"

#include <cstring>

#include "core/errors.h"
#include "device/family.h"
#include "protocol/exchange.h"
#include "veldc.h"

namespace veldc::services {

using protocol::ExchangeF;
using protocol::ReceiveLine;
using protocol::szCommandText;
using protocol::szReplyText;

void UpperCaseName(char *name) {
  for (; *name != '\0'; ++name) {
    if (*name >= 'a' && *name <= 'z') *name = static_cast<char>(*name - 'a' + 'A');
  }
}

bool IsEndLine(const char *line) { return line[0] == kEndOfTransmission; }

int32_t ReadNumber(const char *text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (value <= INT32_MAX) value = value * 10 + (*text - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void CopyToSlot(char *slot, size_t slotSize, const char *source) {
  size_t length = std::strlen(source);
  if (length > slotSize - 1) length = slotSize - 1;
  std::memcpy(slot, source, length);
  slot[length] = '\0';
}

void EndTransfer() {
  ErrorKeeper keep;
  protocol::SendCommandText(protocol::kEotCommand, szReplyText);
  static const char kAcknowledgement[] = {kEndOfTransmission, '*', '\0'};
  for (int i = 0; i < 3; ++i) {
    if (std::strstr(szReplyText, kAcknowledgement) != nullptr) break;
    ReceiveLine(szReplyText, kTenSeconds);
  }
}

namespace {

bool ValidNameLength(const char *name) {
  const size_t length = std::strlen(name);
  return length >= 1 && length <= kMaxTerminalName;
}

// Reads listing lines into the entry slots up to the end line.
int ReadListing(char *entries) {
  int count = 0;
  for (;;) {
    if (TakeCancelRequest()) return Fail(kErrCancelled);
    if (ReceiveLine(szReplyText, device::Link().ReplyWait(device::ServiceWait::kListingLine)) != 0)
      return -1;
    if (IsEndLine(szReplyText)) {
      if (ReadNumber(szReplyText + 1) == count) return count;
      return Fail(kErrFilesMismatch);
    }
    if (count == VELDC_DIR_ENTRIES) return Fail(kErrFilesOverflow);
    // A line longer than 15 characters is cut to its 16-byte slot.
    CopyToSlot(entries + count * VELDC_DIR_SLOT, VELDC_DIR_SLOT, szReplyText);
    ++count;
  }
}

// Appends `line` and CR LF if they and the NUL fit in `size` bytes.
bool AppendLine(char *buffer, size_t *used, size_t size, const char *line) {
  const size_t length = std::strlen(line);
  if (*used + length + 2 + 1 > size) return false;
  std::memcpy(buffer + *used, line, length);
  std::memcpy(buffer + *used + length, "\r\n", 3);
  *used += length + 2;
  return true;
}

}  // namespace
}  // namespace veldc::services

using namespace veldc;
using namespace veldc::services;

extern "C" int VELDC_API ChgDrv(const char *drive) {
  ClearError();
  if (!protocol::ReadyForTerminal()) return -1;
  if (drive == nullptr || (drive[0] != 'A' && drive[0] != 'B' && drive[0] != 'C'))
    return Fail(kErrWrongParameters);
  if (ExchangeF("CD %c", drive[0]) != 0) return -1;
  return protocol::ExpectEcho(kErrDriveNotAvailable);
}

extern "C" int VELDC_API ListFiles(char *name, char *entries) {
  ClearError();
  if (!protocol::ReadyForTerminal()) return -1;
  if (entries == nullptr || (name != nullptr && std::strlen(name) > kMaxTerminalName))
    return Fail(kErrWrongParameters);
  const size_t nameLength = name != nullptr ? std::strlen(name) : 0;
  if (nameLength != 0) {
    UpperCaseName(name);
    if (ExchangeF("DIR %s", name) != 0) return -1;
  } else if (ExchangeF("DIR") != 0) {
    return -1;
  }
  if (!protocol::Echoed(2)) return Fail(kErrDirIgnored);
  // A full eight-character name is answered by the one entry in the reply itself, except by
  // the Sorvik model, which lists.
  if (protocol::bSorvikModel == 0 && nameLength == kMaxTerminalName) {
    const char *entry = std::strlen(szReplyText) >= 5 ? szReplyText + 4 : "";
    CopyToSlot(entries, VELDC_DIR_SLOT, entry);
    return 1;
  }
  return ReadListing(entries);
}

extern "C" int VELDC_API ViewFile(char *name, char *buffer, unsigned int size) {
  ClearError();
  if (name == nullptr || buffer == nullptr) return Fail(kErrWrongParameters);
  if (!protocol::ReadyForTerminal()) return -1;
  if (!ValidNameLength(name) || size > VELDC_VIEW_MAX) return Fail(kErrWrongParameters);
  UpperCaseName(name);
  if (ExchangeF("TYPE %s", name) != 0) return -1;
  if (!protocol::Echoed()) {
    EndTransfer();
    return Fail(kErrSendIgnored);
  }
  if (size > 0) buffer[0] = '\0';
  size_t used = 0;
  int count = 0;
  for (;;) {
    const bool cancelled = TakeCancelRequest();
    if (cancelled || ReceiveLine(szReplyText, kTenSeconds) != 0) {
      if (cancelled) SetError(kErrCancelled);
      EndTransfer();
      return -1;
    }
    if (IsEndLine(szReplyText)) return count;
    // A full buffer is not an error: the host gets the lines that fitted.
    if (!AppendLine(buffer, &used, size, szReplyText)) {
      EndTransfer();
      ClearError();
      return count;
    }
    ++count;
  }
}

extern "C" int VELDC_API DeleFile(char *name) {
  ClearError();
  if (name == nullptr) return Fail(kErrWrongParameters);
  if (!protocol::ReadyForTerminal()) return -1;
  if (!ValidNameLength(name)) return Fail(kErrWrongParameters);
  UpperCaseName(name);
  if (ExchangeF("DEL %s", name) != 0) return -1;
  return protocol::ExpectEcho(kErrDelIgnored);
}
