// The table of operations of each link family: serial (network interface, direct line, log-on
// line), Kov74 and Pelo. InitCOMM chooses the open device's table once; everything above the
// device reaches the link through Link() and never asks which kind is open, except where a
// behaviour belongs to one kind rather than one family (such places say so).
//
// Every entry runs with a device of its family open. Entries that talk to a terminal may also
// assume a terminal is selected (bySelectedTerminal), that the caller cleared the error state,
// and that buffers they are handed are not null. On failure an entry sets the error code and
// returns -1 (false where it returns bool); it never clears a code it did not set.
#pragma once

#include <cstdint>

#include "device/timing.h"

namespace veldc::device {

// The per-line waits the services ask of a family, by what they read.
enum class ServiceWait {
  kListingLine,  // each line of a directory listing
  kUploadLine,   // each record of an uploaded file
};

struct LinkFamily {
  // InitCOMM's check of its arguments for `kind`, one of the family's kinds. Sets nothing.
  bool (*ArgumentsValid)(int port, int kind, int speed, int format);

  // Opens the device as `kind` and returns InitCOMM's result. May assume no device is open.
  // On success the device record holds `kind`; on failure nothing stays open and the code is
  // set: 10..30 for the driver and port (11..20 from the driver itself), 71..73 and 7 for
  // WinSock.
  int (*Open)(int port, int kind, int speed, int format);

  // ExitCOMM's part: releases what Open took. 0, or -1 with the code set (29, 30, 31, 98) and
  // the device still counted open.
  int (*Close)();

  // Sends `command` (at most 127 characters, never null) to the selected terminal in the
  // family's frame and waits for its reply into `reply` (131 bytes). Retries as the family
  // does. Codes: 3 (too long for the family), 40, 41, 42, 47, 57, 70, 77, 78, 79, 88, 92, 93,
  // 96, 97, 61 (cancelled).
  int (*SendAndWait)(const char *command, char *reply);

  // Reads one reply line of the selected terminal into `destination` (131 bytes) before
  // `deadline`, in the family's own read steps. Codes: 40 (nothing came), 35 (a line that did
  // not end), 41, 42, 57, 70, 78, 79, 88, 92, 93, 96, 97, 61 (cancelled, only inside a
  // CancellableWait).
  int (*Receive)(char *destination, Deadline &deadline);

  // Sends `command` without waiting for the terminal's reply. 0 once it left (or, for Pelo,
  // once the adapter took it). Codes: 3, 42, 77, 78, 79, 92, 96, 97.
  int (*Post)(const char *command);

  // Takes a reply that has already arrived, waiting only the family's short read. Codes: 40
  // (nothing there), 35, 41, 42, 57, 70, 78, 79, 88, 92, 93, 96, 97.
  int (*Collect)(char *reply);

  // The half-seconds a service waits for each line of the kind `wait`.
  int64_t (*ReplyWait)(ServiceWait wait);

  // SetTerminal's preparation of terminal `address` (0..254, already stored as the selected
  // terminal): checks the family's addressing and readies the line. 1 to go on with the
  // identification, 0 when it was already done, -1 with the selection dropped and the code set.
  int (*Select)(int address);

  // ChgTerminal's switch to terminal `address` (0..254, already stored), without talking to
  // it beyond what the family's addressing needs. 0, or -1 with the selection dropped.
  int (*Change)(int address);

  // Whether a failed identification is followed by EOT before the password is tried: a driver
  // that lost the terminal has nothing to send it to.
  bool eotBeforeRescue;

  // Whether the family's line can carry a modem dialogue (DialNumber, HangUp).
  bool carriesModem;
};

// The tables, each defined beside its family's code.
extern const LinkFamily kSerialFamily;
extern const LinkFamily kKov74Family;
extern const LinkFamily kPeloFamily;

// The family of a device kind (InitCOMM's second argument), or null for no known kind.
const LinkFamily *FamilyOf(int32_t kind);

// The open device's family. Only to be called with a device open.
const LinkFamily &Link();

}  // namespace veldc::device
