// Texts given on the command line or in a batch file: splitting a batch line into words,
// backslash escapes for control characters in raw commands, numbers and number lists.
#pragma once

#include <string>
#include <vector>

namespace veldc::cli {

// Splits on blanks and tabs; '...' and "..." group words and keep everything inside as is.
// A '#' at the start of a word begins a comment. False with `error` set on an open quote.
bool SplitWords(const std::string &line, std::vector<std::string> *words, std::string *error);

// The inverse of the trace's escaping: \r \n \t \\ and \xNN; a backslash before anything else
// stays as it is. False with `error` set for a \x without two hex digits or a \x00.
bool Unescape(const std::string &text, std::string *out, std::string *error);

// A whole decimal number within [low, high].
bool ParseInt(const std::string &text, int low, int high, int *out);

// "0-9,15,20-22" as a selection of parameter numbers 0..99; "all" selects every one.
bool ParseSelection(const std::string &text, std::vector<int> *selected, std::string *error);

}  // namespace veldc::cli
