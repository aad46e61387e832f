// What the file services share: terminal file names, the end line of a multi-line transfer
// and the routine that ends such a transfer early.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veldc::services {

constexpr size_t kMaxTerminalName = 8;
// The first character of the line that ends a multi-line transfer.
constexpr char kEndOfTransmission = 0x04;
// Half-seconds that ViewFile and EndTransfer wait for each line.
constexpr int kTenSeconds = 20;

// Converts a terminal file name to upper case in place (the host's buffer).
void UpperCaseName(char *name);
// A received line whose first character is 0x04.
bool IsEndLine(const char *line);
// The decimal number at the start of `text` as the terminals write it: leading white space,
// an optional sign, digits; 0 without digits. Saturates instead of overflowing.
int32_t ReadNumber(const char *text);
// Copies `source` into a slot of `slotSize` bytes, cutting what does not fit.
void CopyToSlot(char *slot, size_t slotSize, const char *source);

// Sends the EOT command and reads up to three more lines until the terminal acknowledges it;
// the error code the caller is about to report is kept.
void EndTransfer();

}  // namespace veldc::services
