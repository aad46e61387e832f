// The command exchange with the selected terminal: the shared command and reply texts, the
// frame of each link family, and reading one reply line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/device.h"

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
extern int32_t bLineEcho;
extern int32_t bAddressedReplies;

// The end-of-transmission command: the one character 0x04.
extern const char kEotCommand[2];

// The end-of-transmission command exchanged with the selected terminal, reply in szReplyText.
int SendEot();
// Copies at most the longest reply a caller's buffer takes.
void CopyReply(char *destination, const char *source);
// Inside a CancellableWait, takes a pending cancel request: true with error 61 set.
bool WaitCancelled();

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
// The serial and Kov74 families' receive buffers, cleared with the exchange state.
void ResetSerialLine();
void ResetKov74Buffer();

}  // namespace veldc::protocol

namespace veldc::protocol {

// Set once a terminal has identified itself as the Sorvik model; kept for the library's life.
extern int32_t bSorvikModel;
int IdentifyTerminal();
int LogOnWithPassword(const char *password);
// Drops the selection and fails with `code`.
int RefuseTerminal(int32_t code);
// Identification failed with the code now set: the terminal may be waiting for its password
// (after EOT when `sendEot`). 0 when the log-on took, else the selection is refused with the
// identification's code.
int RescueTerminal(bool sendEot);
void FixSorvikYear();
void ResetSelectionState();

}  // namespace veldc::protocol
