// The values the terminal reads and writes as the replies to "TIME", "DATE" and "CFG": shared
// by the services and by the selection, which corrects a calendar and checks a password.
#include "protocol/values.h"

#include <cstring>

#include "core/errors.h"
#include "protocol/exchange.h"

namespace veldc::protocol {
namespace {

// The first seven characters of a CFG reply are the command word, the number and a blank.
constexpr size_t kValueOffset = 7;
constexpr int kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool AllDigits(const char *text, size_t length) {
  if (std::strlen(text) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

int Field(const char *text, int at, int width) {
  int value = 0;
  for (int i = 0; i < width; ++i) value = value * 10 + (text[at + i] - '0');
  return value;
}

}  // namespace

bool ValidTime(const char *text) {
  return AllDigits(text, 6) && Field(text, 0, 2) <= 23 && Field(text, 2, 2) <= 59 &&
         Field(text, 4, 2) <= 59;
}

bool ValidDate(const char *text) {
  if (!AllDigits(text, 7)) return false;
  const int weekday = Field(text, 0, 1);
  const int month = Field(text, 3, 2);
  const int day = Field(text, 5, 2);
  return weekday <= 6 && month >= 1 && month <= 12 && day >= 1 && day <= kMonthDays[month - 1];
}

int ReadClockValue(const char *word, int32_t refused, char *value) {
  std::strcpy(szCommandText, word);
  if (Exchange() != 0) return -1;
  if (std::strlen(szReplyText) < 6) return Fail(refused);
  std::strcpy(value, szReplyText + 5);
  return 0;
}

int WriteClockValue(const char *word, const char *value, int32_t refused) {
  if (ExchangeF("%s %s", word, value) != 0) return -1;
  return ExpectEcho(refused);
}

int WriteDate(const char *date) {
  if (!ValidDate(date)) return Fail(kErrWrongParameters);
  return WriteClockValue("DATE", date, kErrDateIgnored);
}

int ReadParameter(int number) { return ExchangeF("CFG %02d", number); }

const char *ReadReplyValue() {
  return std::strlen(szReplyText) >= kValueOffset + 1 ? szReplyText + kValueOffset : "";
}

}  // namespace veldc::protocol
