// Downloads: a PC text file into a named file on the terminal (SendFile) or into the
// terminal's program store (SendPrg), one record per command, each echoed by the terminal.
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "meter/meter.h"
#include "platform/platform.h"
#include "protocol/exchange.h"
#include "services/files.h"
#include "services/record_reader.h"
#include "veldc.h"

namespace veldc::services {
namespace {

using platform::Handle;
using platform::kInvalidHandle;
using platform::Os;
using protocol::Exchange;
using protocol::ExchangeF;
using protocol::kEotCommand;
using protocol::SendCommandText;
using protocol::szCommandText;
using protocol::szReplyText;

// A load is closed once its count passes this.
constexpr int kMaxRecords = 10000;

void ClosePcFile(Handle *file) {
  if (*file == kInvalidHandle) return;
  Os().FileClose(*file);
  *file = kInvalidHandle;
}

void SendEot() { SendCommandText(kEotCommand, szReplyText); }

// Ends a file load from the PC side and removes the partial file from the terminal.
void AbortFileLoad(Handle *file, const char *terminalName) {
  ErrorKeeper keep;
  ClosePcFile(file);
  SendEot();
  ExchangeF("DEL %s", terminalName);
}

// Ends a program load from the PC side.
void AbortProgramLoad(Handle *file) {
  ErrorKeeper keep;
  ClosePcFile(file);
  ExchangeF("STOP DOWNLOADING");
  EndTransfer();
}

// The one thing that differs between the two downloads: how a load is abandoned.
struct Load {
  const char *terminalName;  // null for a program load
  Handle file = kInvalidHandle;

  void Abort() {
    if (terminalName != nullptr) {
      AbortFileLoad(&file, terminalName);
    } else {
      AbortProgramLoad(&file);
    }
  }
  // Abort and report the code that stands.
  int Abandon() {
    Abort();
    return -1;
  }
  // Abort, then report `code` (the abort keeps the code it found).
  int AbortWith(ErrorCode code) {
    Abort();
    return veldc::Fail(code);
  }
};

// The record that took the count past kMaxRecords was the load's last. When the PC file holds
// more, the load is refused rather than closed short: a cut file reported as a success would
// lose the host's records without a word.
int LastRecordSent(Load *load, int count) {
  const int read = ReadRecord(load->file, szCommandText);
  if (read == 0) return count;
  if (read < 0) return load->Abandon();
  return load->AbortWith(kErrRecordsOverflow);
}

// Sends every record of the PC file, each judged by its echo. Returns the count, or -1
// after the load was abandoned.
int SendRecords(Load *load, bool meter, uint32_t total) {
  int count = 0;
  for (;;) {
    const int read = ReadRecord(load->file, szCommandText);
    if (read == 0) return count;
    if (read < 0) return load->Abandon();
    if (TakeCancelRequest()) return load->AbortWith(kErrCancelled);
    if (Exchange() != 0) return load->Abandon();
    if (!protocol::Echoed()) return load->AbortWith(kErrSendRecord);
    ++count;
    if (count > kMaxRecords) return LastRecordSent(load, count);
    if (meter) {
      meter::UpdateTransferMeter(count, static_cast<int32_t>(total),
                                 static_cast<int32_t>(std::strlen(szReplyText) + 2));
    }
  }
}

// Closes the load with the EOT command; on success the terminal's count is in szReplyText.
bool CloseLoad() {
  if (SendCommandText(kEotCommand, szReplyText) == 0) return true;
  if (protocol::ReceiveLine(szReplyText, kTenSeconds) == 0) return true;
  return SendCommandText(kEotCommand, szReplyText) == 0;
}

// Everything after the load command was echoed: the records, closing the PC file, closing
// the load and comparing the counts.
int Download(Load *load, const char *pcPath) {
  load->file = Os().FileOpenRead(pcPath);
  if (load->file == kInvalidHandle) return load->AbortWith(kErrOpenFile);

  int count = 0;
  {
    // Open for the records alone: closed once they are sent or the load was abandoned.
    meter::MeterScope meter(meter::MeterScope::Kind::kTransfer);
    uint32_t total = 0;
    if (meter.On()) {
      total = Os().FileSize(load->file);
      meter.Open();
    }
    count = SendRecords(load, meter.On(), total);
  }
  if (count < 0) return -1;

  const Handle file = load->file;
  load->file = kInvalidHandle;
  if (!Os().FileClose(file)) {
    SendEot();
    return Fail(kErrCloseFile);
  }
  if (!CloseLoad()) return load->AbortWith(kErrEotIgnored);
  if (ReadNumber(szReplyText) != count) {
    // A file stays on the terminal; a program load is stopped.
    if (load->terminalName == nullptr) return load->AbortWith(kErrRecordsMismatch);
    return Fail(kErrRecordsMismatch);
  }
  return count;
}

// The load command failed on the way: it may still have reached the terminal, whose echo then
// did not reach us. The EOT command ends any load it opened, so that nothing sent later is
// taken for its records. No DEL: it would take a file of that name the load never touched.
int EndUnconfirmedLoad() {
  ErrorKeeper keep;
  SendEot();
  return -1;
}

// 1 to 8 characters from 0x21 to 0x7F.
bool ValidTerminalName(const char *name) {
  const size_t length = std::strlen(name);
  if (length < 1 || length > kMaxTerminalName) return false;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x21 || c > 0x7F) return false;
  }
  return true;
}

// "LOAD name", then " P" with the P flag, then the option's number unless it is 0, after a
// blank only without the P flag: LOAD DATA, LOAD DATA P, LOAD DATA 12, LOAD DATA P12.
void BuildLoadCommand(const char *name, int pFlag, int option) {
  int length =
      std::snprintf(szCommandText, sizeof szCommandText, "LOAD %s%s", name, pFlag == 1 ? " P" : "");
  if (option != 0) {
    std::snprintf(szCommandText + length, sizeof szCommandText - length, pFlag == 1 ? "%d" : " %d",
                  option);
  }
}

}  // namespace
}  // namespace veldc::services

using namespace veldc;
using namespace veldc::services;

extern "C" int VELDC_API SendFile(const char *pcPath, char *terminalName, int pFlag, int option) {
  if (pcPath == nullptr || terminalName == nullptr) return Fail(kErrWrongParameters);
  ClearError();
  if (!protocol::ReadyForTerminal()) return -1;
  if (!ValidTerminalName(terminalName) || (pFlag != 0 && pFlag != 1) || option < 0 ||
      option > 127) {
    return Fail(kErrWrongParameters);
  }
  UpperCaseName(terminalName);
  BuildLoadCommand(terminalName, pFlag, option);
  if (protocol::Exchange() != 0) return EndUnconfirmedLoad();
  if (protocol::ExpectEcho(kErrLoadIgnored) != 0) return -1;
  Load load{terminalName};
  return Download(&load, pcPath);
}

extern "C" int VELDC_API SendPrg(const char *pcPath) {
  ClearError();
  if (pcPath == nullptr) return Fail(kErrWrongParameters);
  if (!protocol::ReadyForTerminal()) return -1;
  // The identification reply ends in the RAM card's format, which must take a program.
  if (protocol::ExchangeF("%%XI") != 0) return -1;
  const size_t length = std::strlen(protocol::szReplyText);
  const char format = length > 0 ? protocol::szReplyText[length - 1] : '\0';
  if (format != 'F' && format != 'P') return Fail(kErrBadRamCard);
  Load load{nullptr};
  // A program load that may have been opened is stopped, as after any failure.
  if (protocol::ExchangeF("LOADP PROGRAM") != 0) return load.Abandon();
  if (protocol::ExpectEcho(kErrLoadIgnored) != 0) return -1;
  return Download(&load, pcPath);
}
