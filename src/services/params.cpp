// The terminal's configuration parameters 0..99 through "CFG": one at a time, or any subset
// of the hundred in one call with a selection array and a block of 17-byte slots.
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "protocol/exchange.h"
#include "protocol/values.h"
#include "veldc.h"

namespace veldc::services {
namespace {

using protocol::ExchangeF;
using protocol::ReadParameter;
using protocol::ReadReplyValue;
using protocol::ReadyForTerminal;
using protocol::szCommandText;
using protocol::szReplyText;

constexpr int kParamCount = VELDC_PARAM_COUNT;
constexpr int kSlot = VELDC_PARAM_SLOT;
constexpr size_t kMaxValue = 32;

bool ValidNumber(int number) { return number >= 0 && number < kParamCount; }

// One write exchange, judged by the echo.
int WriteParameter(int number, const char *value, size_t length) {
  if (ExchangeF("CFG %02d %.*s", number, static_cast<int>(length), value) != 0) return -1;
  return protocol::ExpectEcho(kErrConfigIgnored);
}

// Length of the text in slot i, looked for no further than the 32 characters a value may
// have and never past the end of the host's block; kMaxValue + 1 means "too long".
size_t SlotTextLength(const char *block, int i) {
  const size_t room = static_cast<size_t>(kParamCount - i) * kSlot;
  const size_t limit = room < kMaxValue + 1 ? room : kMaxValue + 1;
  const char *text = block + static_cast<size_t>(i) * kSlot;
  const void *nul = std::memchr(text, '\0', limit);
  return nul == nullptr ? kMaxValue + 1
                        : static_cast<size_t>(static_cast<const char *>(nul) - text);
}

}  // namespace
}  // namespace veldc::services

using namespace veldc;
using namespace veldc::services;

extern "C" int VELDC_API GetParameter(int number, char *value) {
  if (value == nullptr) return Fail(kErrWrongParameters);
  ClearError();
  if (!protocol::ReadyForTerminal()) return -1;
  if (!ValidNumber(number)) return Fail(kErrWrongParameters);
  if (ReadParameter(number) != 0) return -1;
  std::strcpy(value, ReadReplyValue());
  return 0;
}

extern "C" int VELDC_API SetParameter(int number, const char *value) {
  if (value != nullptr && std::strlen(value) > kMaxValue) return Fail(kErrWrongParameters);
  if (value == nullptr) value = "";
  ClearError();
  if (!protocol::ReadyForTerminal()) return -1;
  if (!ValidNumber(number)) return Fail(kErrWrongParameters);
  return WriteParameter(number, value, std::strlen(value));
}

extern "C" int VELDC_API GetAllParams(const int *selection, char *values) {
  if (selection == nullptr || values == nullptr) return Fail(kErrWrongParameters);
  // Values are kept until every read has succeeded: a failed run leaves the block untouched.
  char kept[kParamCount][kSlot];
  for (int i = 0; i < kParamCount; ++i) {
    if (selection[i] == 0) continue;
    ClearError();
    if (!protocol::ReadyForTerminal()) return i - 100;
    if (ReadParameter(i) != 0) return i - 100;
    // A value longer than 16 characters is cut to its slot so the next slot is not overrun.
    size_t length = strnlen(ReadReplyValue(), kSlot - 1);
    std::memcpy(kept[i], ReadReplyValue(), length);
    kept[i][length] = '\0';
  }
  for (int i = 0; i < kParamCount; ++i) {
    if (selection[i] != 0) std::memcpy(values + i * kSlot, kept[i], std::strlen(kept[i]) + 1);
  }
  return 0;
}

extern "C" int VELDC_API SetAllParams(const int *selection, const char *values) {
  if (selection == nullptr || values == nullptr) return Fail(kErrWrongParameters);
  for (int i = 0; i < kParamCount; ++i) {
    if (selection[i] == 0) continue;
    const size_t length = SlotTextLength(values, i);
    if (length > kMaxValue) {
      SetError(kErrWrongParameters);
      return i - 100;
    }
    ClearError();
    if (!protocol::ReadyForTerminal()) return i - 100;
    if (WriteParameter(i, values + i * kSlot, length) != 0) return i - 100;
  }
  return 0;
}
