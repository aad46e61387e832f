// Reads the records of a PC text file for a download, one byte at a time.
#pragma once

#include "platform/platform.h"

namespace veldc::services {

// The longest record; one more character is error 57.
constexpr int kMaxRecord = 127;

// Reads the next record of `file` into `record` (at least kMaxRecord + 1 bytes).
// A record ends at CR; LF is skipped while the record is empty; Ctrl-Z ends the record at
// hand, or the data when the record is empty; end of file ends the record at hand.
// Returns the record's length (1 for an empty record), 0 when there is no more data, or -1
// with error 57 (record too long) or 58 (the file could not be read).
int ReadRecord(platform::Handle file, char *record);

}  // namespace veldc::services
