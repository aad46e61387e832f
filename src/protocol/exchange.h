// The command exchange with the selected terminal: the shared command and reply texts, the
// frame of each link family, and reading one reply line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/device.h"
#include "device/kov74.h"

namespace veldc::protocol {

using device::bySelectedTerminal;
using device::NO_TERMINAL;

constexpr int kTextSize = 132;
constexpr int kMaxCommand = 127;
constexpr int kMaxKov74Command = 120;
constexpr int kMaxLine = 127;
// The longest reply handed to a caller: 130 characters and the NUL.
constexpr int kReplySize = 131;

extern char szCommandText[kTextSize];
extern char szReplyText[kTextSize];
extern char szLastCommand[128];
// The line being received (serial) or the driver's receive buffer (Kov74).
extern char szRecord[device::kov74::kRecordSize];
extern int32_t bLineEcho;
extern int32_t bAddressedReplies;

// The end-of-transmission command: the one character 0x04.
extern const char kEotCommand[2];

// Sends `command` to the selected terminal and reads its reply into `reply` (0 or -1).
// This is the exported SendCommand.
int SendCommandText(const char *command, char *reply);
// Reads one reply line from the selected terminal, waiting `halfSeconds` × 500 ms.
int ReceiveLine(char *destination, int64_t halfSeconds);

// While one lives, ReceiveLine's wait ends with error 61 at the host's cancel request: the
// waits of GetMsgEx and of a dial's carrier, which may last long with nothing to clean up.
class CancellableWait {
 public:
  CancellableWait();
  ~CancellableWait();
  CancellableWait(const CancellableWait &) = delete;
  CancellableWait &operator=(const CancellableWait &) = delete;
};

// The services' usual exchange: szCommandText out, szReplyText in.
int Exchange();
// printf into szCommandText, then Exchange().
int ExchangeF(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The terminal takes a command by echoing it: whether szReplyText repeats szCommandText (its
// first `length` characters only, where a reply echoes just the command word).
bool Echoed(size_t length = kTextSize);
// 0 when the command was echoed, else -1 with `refused` set.
int ExpectEcho(int32_t refused);
// Checks that a device is open (error 2) and a terminal selected (error 4).
bool ReadyForTerminal();

void ResetExchangeState();

}  // namespace veldc::protocol

namespace veldc::protocol {

// Set once a terminal has identified itself as the Sorvik model; kept for the library's life.
extern int32_t bSorvikModel;
int IdentifyTerminal();
int LogOnWithPassword(const char *password);
void FixSorvikYear();
void ResetSelectionState();

}  // namespace veldc::protocol
