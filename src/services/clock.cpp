// The terminal's time of day ("TIME") and calendar date ("DATE"). Values travel as the
// terminal's own digit strings; the library checks their form before a write and leaves
// what a read returns as the terminal sent it.
#include <cstring>

#include "core/errors.h"
#include "protocol/exchange.h"
#include "veldc.h"

namespace veldc::services {
namespace {

using protocol::Exchange;
using protocol::ExchangeF;
using protocol::ReadyForTerminal;
using protocol::szCommandText;
using protocol::szReplyText;

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

bool ValidTime(const char *text) {
  return AllDigits(text, 6) && Field(text, 0, 2) <= 23 && Field(text, 2, 2) <= 59 &&
         Field(text, 4, 2) <= 59;
}

// WYYMMDD; February has 29 days in every year and W is not matched against the date.
bool ValidDate(const char *text) {
  if (!AllDigits(text, 7)) return false;
  const int weekday = Field(text, 0, 1);
  const int month = Field(text, 3, 2);
  const int day = Field(text, 5, 2);
  return weekday <= 6 && month >= 1 && month <= 12 && day >= 1 && day <= kMonthDays[month - 1];
}

// "TIME" / "DATE": the value is the reply from its sixth character on.
int ReadValue(const char *command, ErrorCode refused, char *value) {
  ClearError();
  if (value == nullptr) return Fail(kErrWrongParameters);
  if (!ReadyForTerminal()) return -1;
  std::strcpy(szCommandText, command);
  if (Exchange() != 0) return -1;
  if (std::strlen(szReplyText) < 6) return Fail(refused);
  std::strcpy(value, szReplyText + 5);
  return 0;
}

// The terminal takes a setting by echoing the command exactly.
int WriteValue(const char *word, const char *value, ErrorCode refused) {
  if (ExchangeF("%s %s", word, value) != 0) return -1;
  return protocol::ExpectEcho(refused);
}

}  // namespace
}  // namespace veldc::services

using namespace veldc;
using namespace veldc::services;

extern "C" int VELDC_API GetTime(char *time) { return ReadValue("TIME", kErrTimeIgnored, time); }

extern "C" int VELDC_API GetDate(char *date) { return ReadValue("DATE", kErrDateIgnored, date); }

extern "C" int VELDC_API SetTime(const char *time) {
  ClearError();
  if (time == nullptr) return Fail(kErrWrongParameters);
  if (!protocol::ReadyForTerminal()) return -1;
  if (!ValidTime(time)) return Fail(kErrWrongParameters);
  return WriteValue("TIME", time, kErrTimeIgnored);
}

extern "C" int VELDC_API SetDate(const char *date) {
  if (date == nullptr) return Fail(kErrWrongParameters);
  ClearError();
  if (!protocol::ReadyForTerminal()) return -1;
  if (!ValidDate(date)) return Fail(kErrWrongParameters);
  return WriteValue("DATE", date, kErrDateIgnored);
}
