// What can be judged before the line is touched: addresses per link kind, clock texts,
// passwords, parameter numbers and values, terminal file names, and the PC file of a download,
// so that a mistake costs no traffic and no half-done work on the terminal.
#pragma once

#include <string>

#include "link.h"
#include "status.h"

namespace veldc::cli {

// The addresses a link kind can select: direct 0, log-on 0-31, network and Kov74 1-254, a Pelo
// 0-254 (which of them its adapter serves only it knows).
Status CheckAddress(LinkKind kind, int address);
Status CheckTime(const std::string &text);  // HHMMSS
Status CheckDate(const std::string &text);  // WYYMMDD
Status CheckPassword(const std::string &text);
Status CheckParameter(int number, const std::string &value);
// 1 to 8 characters (0 to 8 where `empty` is allowed).
Status CheckTerminalName(const std::string &name, bool empty = false);

// Opens a PC file the tool reads itself without waiting on a FIFO, and only when it is a
// regular file; -1 with `status` set otherwise.
int OpenPcFile(const std::string &path, Status *status);
// The whole of such a file.
Status ReadPcFile(const std::string &path, std::string *content);

// Reads a PC file for a download the way the library will and refuses it at once, naming the
// line, when it would fail or be sent wrong: over 10,000 records, a record over 127
// characters, LF-only or mixed line ends (unless `lf`, which takes LF as a line end and gives
// in `converted` a copy with CR LF line ends to send instead).
Status ScanDownload(const std::string &path, bool lf, std::string *converted);

}  // namespace veldc::cli
