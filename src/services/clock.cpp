// The terminal's time of day ("TIME") and calendar date ("DATE"). Values travel as the
// terminal's own digit strings; the library checks their form before a write and leaves
// what a read returns as the terminal sent it.
#include <cstring>

#include "core/errors.h"
#include "protocol/exchange.h"
#include "protocol/values.h"
#include "veldc.h"

namespace veldc::services {
namespace {

using protocol::ValidDate;
using protocol::ValidTime;
using protocol::WriteClockValue;

int ReadValue(const char *word, ErrorCode refused, char *value) {
  ClearError();
  if (value == nullptr) return Fail(kErrWrongParameters);
  if (!protocol::ReadyForTerminal()) return -1;
  return protocol::ReadClockValue(word, refused, value);
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
  return WriteClockValue("TIME", time, kErrTimeIgnored);
}

extern "C" int VELDC_API SetDate(const char *date) {
  if (date == nullptr) return Fail(kErrWrongParameters);
  ClearError();
  if (!protocol::ReadyForTerminal()) return -1;
  return protocol::WriteDate(date);
}
