// The record reader of the downloads.
#include "services/record_reader.h"

#include "core/errors.h"

namespace veldc::services {

namespace {
constexpr char kCr = 0x0D;
constexpr char kLf = 0x0A;
constexpr char kCtrlZ = 0x1A;

int Ready(char *record, int count) {
  record[count] = '\0';
  return count > 0 ? count : 1;
}
}  // namespace

int ReadRecord(platform::Handle file, char *record) {
  int count = 0;
  for (;;) {
    char byte = 0;
    uint32_t got = 0;
    if (!platform::Os().FileRead(file, &byte, 1, &got)) return Fail(kErrReadRecord);
    if (got == 0 || byte == kCtrlZ) {
      if (count == 0) {
        record[0] = '\0';
        return 0;
      }
      return Ready(record, count);
    }
    if (byte == kCr) return Ready(record, count);
    if (byte == kLf && count == 0) continue;
    if (count == kMaxRecord) return Fail(kErrRecordTooLong);
    record[count++] = byte;
  }
}

}  // namespace veldc::services
