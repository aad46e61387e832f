#include "text_args.h"

#include <cerrno>
#include <cstdlib>

namespace veldc::cli {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool SplitWords(const std::string &line, std::vector<std::string> *words, std::string *error) {
  words->clear();
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inWord) words->push_back(word);
      word.clear();
      inWord = false;
    } else if (c == '\'' || c == '"') {
      size_t close = line.find(c, i + 1);
      if (close == std::string::npos) {
        *error = std::string("unclosed ") + c + " quote";
        return false;
      }
      word.append(line, i + 1, close - i - 1);
      inWord = true;
      i = close;
    } else if (c == '#' && !inWord) {
      break;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words->push_back(word);
  return true;
}

bool Unescape(const std::string &text, std::string *out, std::string *error) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      *out += text[i];
      continue;
    }
    char next = text[i + 1];
    if (next == 'r') {
      *out += '\r';
    } else if (next == 'n') {
      *out += '\n';
    } else if (next == 't') {
      *out += '\t';
    } else if (next == '\\') {
      *out += '\\';
    } else if (next == 'x') {
      int high = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
      int low = i + 3 < text.size() ? HexValue(text[i + 3]) : -1;
      if (high < 0 || low < 0) {
        *error = "\\x needs two hex digits";
        return false;
      }
      if (high == 0 && low == 0) {
        // The library takes zero-terminated texts: a NUL would silently cut the command.
        *error = "\\x00 cannot be sent";
        return false;
      }
      *out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      *out += '\\';
      continue;
    }
    ++i;
  }
  return true;
}

bool ParseInt(const std::string &text, int low, int high, int *out) {
  if (text.empty()) return false;
  size_t start = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (start == text.size()) return false;
  for (size_t i = start; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  errno = 0;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0 || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

bool ParseSelection(const std::string &text, std::vector<int> *selected, std::string *error) {
  selected->assign(100, 0);
  if (text == "all") {
    selected->assign(100, 1);
    return true;
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    size_t dash = item.find('-', 1);
    int first = 0;
    int last = 0;
    bool good = dash == std::string::npos
                    ? ParseInt(item, 0, 99, &first) && ParseInt(item, 0, 99, &last)
                    : ParseInt(item.substr(0, dash), 0, 99, &first) &&
                          ParseInt(item.substr(dash + 1), 0, 99, &last) && first <= last;
    if (!good) {
      *error = "bad parameter selection \"" + item + "\" (numbers 0 to 99, like 0-9,15)";
      return false;
    }
    for (int n = first; n <= last; ++n) (*selected)[static_cast<size_t>(n)] = 1;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

}  // namespace veldc::cli
