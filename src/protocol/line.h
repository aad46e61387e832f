// Pieces of the reply readers shared by the waiting reader (ReceiveLine) and the collecting one
// (GetResponse): assembling a serial line, judging a network-interface line, taking a Pelo
// data datagram.
#pragma once

#include <cstdint>

namespace veldc::protocol {

// Collects the bytes of one serial line into szRecord.
class LineAssembler {
 public:
  enum class Step { kMore, kComplete, kOverflow };
  // skipLeadingNul: NUL bytes before the first character are dropped (the answer to "%%").
  explicit LineAssembler(bool skipLeadingNul) : skipLeadingNul_(skipLeadingNul) {}
  Step Feed(uint8_t byte);
  int Count() const { return count_; }

 private:
  bool skipLeadingNul_;
  int count_ = 0;
};

// A complete network-interface line in szRecord (count characters): the "~S"/"~R" failures,
// then, when addressed, the address check (the text after the address goes to `text`).
// Returns 0 or -1 with the error set. Unaddressed lines are copied whole.
int JudgeNetworkLine(int count, bool addressed, char *text);

// The data datagram in rxDatagram (already acknowledged): 1 when it is the selected
// terminal's new reply (copied into `text`), 0 when it is dropped.
int TakePeloData(char *text);

// Copies at most the longest reply a caller's buffer takes.
void CopyReply(char *destination, const char *source);

}  // namespace veldc::protocol
