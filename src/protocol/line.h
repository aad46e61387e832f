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

// One poll of a Pelo reply reader: 1 when the selected terminal's reply is in `text`, 0 when
// nothing for it has come yet, -1 on failure (an init or error packet included).
int PollPeloReply(char *text);

// One poll while the adapter is to take the datagram just sent. Data datagrams met on the way
// are acknowledged and dropped, init datagrams acknowledged.
enum class PeloTaken { kNotYet, kTaken, kInit, kFailed };
PeloTaken PollPeloTaken();

// Copies at most the longest reply a caller's buffer takes.
void CopyReply(char *destination, const char *source);

}  // namespace veldc::protocol
