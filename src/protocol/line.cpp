#include "protocol/line.h"

#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "pelo/link.h"
#include "protocol/exchange.h"

namespace veldc::protocol {

using pelo::PeloLink;

LineAssembler::Step LineAssembler::Feed(uint8_t byte) {
  if (byte == '\n' && count_ == 0) return Step::kMore;
  if (byte == '\r') {
    szRecord[count_] = '\0';
    return Step::kComplete;
  }
  szRecord[count_] = static_cast<char>(byte);
  if (count_ == 0 && byte == 0 && skipLeadingNul_) return Step::kMore;
  ++count_;
  if (count_ > kMaxLine) {
    SetError(kErrRecordOverflow);
    return Step::kOverflow;
  }
  return Step::kMore;
}

namespace {

// The first occurrence of `mark` is the line's last two characters.
bool EndsWithFirst(const char *line, int count, const char *mark) {
  const char *at = std::strstr(line, mark);
  return at != nullptr && at == line + count - 2;
}

}  // namespace

int JudgeNetworkLine(int count, bool addressed, char *text) {
  if (count < 4 && addressed) return Fail(kErrCannotReceive);
  if (EndsWithFirst(szRecord, count, "~S")) return Fail(kErrCannotSend);
  if (EndsWithFirst(szRecord, count, "~R")) return Fail(kErrCannotReceive);
  if (!addressed) {
    std::strcpy(text, szRecord);
    return 0;
  }
  std::strcpy(text, szRecord + 3);
  char digits[4] = {szRecord[0], szRecord[1], szRecord[2], '\0'};
  if (std::strtol(digits, nullptr, 10) != bySelectedTerminal) return Fail(kErrWrongTerminal);
  return 0;
}

namespace {

// The data datagram in rxDatagram (already acknowledged): 1 when it is the selected
// terminal's new reply (copied into `text`), 0 when it is dropped.
int TakePeloData(char *text) {
  const pelo::PeloDatagram &rx = PeloLink.rxDatagram;
  if (rx.wSeq == PeloLink.wLastDataSeq) return 0;  // a repetition
  if (PeloLink.nLinkForm == pelo::PELO_FORM_NETWORK) {
    if (static_cast<uint8_t>(rx.szText[0]) != bySelectedTerminal) return 0;
    std::strcpy(text, rx.szText + 1);
  } else {
    std::strcpy(text, rx.szText);
    const size_t n = std::strlen(text);
    if (n > 0) text[n - 1] = '\0';
  }
  PeloLink.wLastDataSeq = rx.wSeq;
  return 1;
}

}  // namespace

int PollPeloReply(char *text) {
  switch (pelo::PeloPoll()) {
    case pelo::PollResult::kFailed:
      return -1;
    case pelo::PollResult::kNothing:
      return 0;
    case pelo::PollResult::kDatagram:
      break;
  }
  switch (PeloLink.rxDatagram.wType) {
    case pelo::PELO_PKT_INIT:
      pelo::PeloAck();
      return Fail(kErrInitPacket);
    case pelo::PELO_PKT_DATA:
      pelo::PeloAck();
      return TakePeloData(text);
    case pelo::PELO_PKT_ERROR:
      return Fail(kErrErrorPacket);
    default:
      return 0;
  }
}

PeloTaken PollPeloTaken() {
  switch (pelo::PeloPoll()) {
    case pelo::PollResult::kFailed:
      return PeloTaken::kFailed;
    case pelo::PollResult::kNothing:
      return PeloTaken::kNotYet;
    case pelo::PollResult::kDatagram:
      break;
  }
  const pelo::PeloDatagram &rx = PeloLink.rxDatagram;
  switch (rx.wType) {
    case pelo::PELO_PKT_INIT:
      pelo::PeloAck();
      return PeloTaken::kInit;
    case pelo::PELO_PKT_DATA:
      pelo::PeloAck();
      return PeloTaken::kNotYet;
    case pelo::PELO_PKT_ACK:
      return rx.wSeq == PeloLink.wSeqCounter ? PeloTaken::kTaken : PeloTaken::kNotYet;
    case pelo::PELO_PKT_ERROR:
      SetError(kErrErrorPacket);
      return PeloTaken::kFailed;
    default:
      return PeloTaken::kNotYet;
  }
}

void CopyReply(char *destination, const char *source) {
  const size_t n = strnlen(source, kReplySize - 1);
  std::memcpy(destination, source, n);
  destination[n] = '\0';
}

}  // namespace veldc::protocol
