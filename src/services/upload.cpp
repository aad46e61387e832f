// Upload: a file of the terminal into a file on the PC ("TYPE"), record by record, checked
// against the terminal's end line (record count, and a checksum when it gives one).
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "device/family.h"
#include "meter/meter.h"
#include "platform/platform.h"
#include "protocol/exchange.h"
#include "services/files.h"
#include "veldc.h"

namespace veldc::services {
namespace {

using platform::Handle;
using platform::kInvalidHandle;
using platform::Os;
using protocol::szReplyText;

// The most records one upload writes.
constexpr int32_t kMaxRecords = 10000;
constexpr int32_t kChecksumModulus = 32768;
constexpr char kChecksumTag[] = "RECS ";

int64_t LineWait() { return device::Link().ReplyWait(device::ServiceWait::kUploadLine); }

struct Upload {
  Handle file;
  const char *pcPath;

  // Ends the transfer on the terminal and removes the partial PC file; the error code the
  // caller reports is kept.
  void Discard() {
    ErrorKeeper keep;
    EndTransfer();
    Os().FileClose(file);
    Os().FileDelete(pcPath);
  }
  // Closes the PC file and keeps it with what it holds; `code` is reported.
  int Keep(ErrorCode code) {
    Os().FileClose(file);
    return Fail(code);
  }
  bool Write(const char *line) {
    char record[protocol::kTextSize + 2];
    const size_t length = std::strlen(line);
    std::memcpy(record, line, length);
    std::memcpy(record + length, "\r\n", 2);
    return Os().FileWrite(file, record, static_cast<uint32_t>(length + 2));
  }
};

// The progress figures of one upload.
struct Progress {
  bool on = false;
  bool sorvik = false;
  uint32_t listed = 0;  // the directory's number: size, or records on a Sorvik terminal
  int32_t total = 0;
};

// Looks the file up in the terminal's directory to learn its size. The name is padded to
// eight characters so that a terminal answers for this one file.
int LookUpSize(const char *terminalName, Progress *progress) {
  char lookup[kMaxTerminalName + 1];
  std::snprintf(lookup, sizeof lookup, "%-8s", terminalName);
  char entries[VELDC_DIR_ENTRIES * VELDC_DIR_SLOT] = {};
  if (ListFiles(lookup, entries) < 0) return -1;
  // The number starts at the entry's tenth character.
  progress->listed = std::strlen(entries) > 9 ? static_cast<uint32_t>(ReadNumber(entries + 9)) : 0;
  progress->sorvik = protocol::bSorvikModel != 0;
  if (!progress->sorvik) {
    // The caller's "PRE" files count double (compared before upper-casing).
    const uint32_t factor = std::strncmp(terminalName, "PRE", 3) == 0 ? 2 : 1;
    progress->total = static_cast<int32_t>(progress->listed * factor);
  }
  return 0;
}

int32_t Checksum(int32_t sum) { return sum % kChecksumModulus; }

}  // namespace
}  // namespace veldc::services

using namespace veldc;
using namespace veldc::services;

extern "C" int VELDC_API RecvFile(char *terminalName, const char *pcPath) {
  ClearError();
  if (terminalName == nullptr || pcPath == nullptr) return Fail(kErrWrongParameters);
  if (!protocol::ReadyForTerminal()) return -1;
  const size_t nameLength = std::strlen(terminalName);
  if (nameLength < 1 || nameLength > kMaxTerminalName) return Fail(kErrWrongParameters);
  Upload upload{Os().FileCreate(pcPath), pcPath};
  if (upload.file == kInvalidHandle) return Fail(kErrOpenFile);

  // The meter closes as the upload returns, after any clean-up of the transfer.
  meter::MeterScope meter(meter::MeterScope::Kind::kTransfer);
  Progress progress;
  progress.on = meter.On();
  if (progress.on) {
    if (LookUpSize(terminalName, &progress) != 0) {
      upload.Discard();
      return -1;
    }
    meter.Open();
  }

  UpperCaseName(terminalName);
  if (protocol::ExchangeF("TYPE %s", terminalName) != 0) {
    upload.Discard();
    return -1;
  }
  if (!protocol::Echoed()) {
    upload.Discard();
    return Fail(kErrSendIgnored);
  }

  int32_t count = 0;
  int32_t sum = 0;
  bool overflow = false;
  for (;;) {
    const bool cancelled = TakeCancelRequest();
    if (cancelled || protocol::ReceiveLine(szReplyText, LineWait()) != 0) {
      if (cancelled) SetError(kErrCancelled);
      upload.Discard();
      return -1;
    }
    if (IsEndLine(szReplyText)) break;
    for (const char *c = szReplyText; *c != '\0'; ++c) sum += static_cast<signed char>(*c);
    // A record past the most an upload takes is judged as the end line would be.
    if (count == kMaxRecords) {
      overflow = true;
      break;
    }
    if (!upload.Write(szReplyText)) {
      upload.Discard();
      return Fail(kErrWriteRecord);
    }
    ++count;
    if (progress.on) {
      const auto length = static_cast<uint32_t>(std::strlen(szReplyText));
      if (progress.sorvik && count == 1) {
        progress.total = static_cast<int32_t>((length + 2) * progress.listed);
      }
      meter::UpdateTransferMeter(count, progress.total, static_cast<int32_t>(length + 1));
    }
  }

  ErrorCode verdict = kErrNone;
  const char *tag = std::strstr(szReplyText, kChecksumTag);
  if (tag != nullptr && ReadNumber(tag + sizeof kChecksumTag - 1) != Checksum(sum)) {
    verdict = kErrBadChecksum;
  } else if (overflow || ReadNumber(szReplyText + 1) != count) {
    // A cut file never passes, whatever that record happens to hold.
    verdict = kErrRecordsMismatch;
  }
  // The terminal is still sending the rest of the file: it is told to stop.
  if (overflow) EndTransfer();
  if (verdict != kErrNone) return upload.Keep(verdict);
  if (!Os().FileClose(upload.file)) return Fail(kErrCloseFile);
  return count;
}
