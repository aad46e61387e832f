// The Pelo adapter's datagram, its sequence numbers and acknowledgements, and the link state.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace veldc::pelo {

enum PacketType : uint16_t {
  PELO_PKT_INIT = 2,
  PELO_PKT_DATA = 3,
  PELO_PKT_ACK = 4,
  PELO_PKT_ERROR = 5,
  PELO_PKT_COMMAND = 6,
};

enum LinkForm : int32_t {
  PELO_FORM_NETWORK = 1,
  PELO_FORM_SINGLE = 3,
  PELO_FORM_NONE = 255,
};

constexpr int kTextSize = 132;
// A read takes at most this many bytes, so the record's last two bytes stay zero.
constexpr int kReadLimit = 134;

#pragma pack(push, 1)
struct PeloDatagram {
  uint16_t wType;  // little-endian on the wire, as on every host we build for
  uint16_t wSeq;
  char szText[kTextSize];
};
#pragma pack(pop)
static_assert(sizeof(PeloDatagram) == 136, "the record is 136 bytes");

struct PeloLinkState {
  uint16_t wSeqCounter = 0;
  uint16_t wLastDataSeq = 0;
  int32_t nLinkForm = 0;
  int32_t nSavedLinkForm = 0;
  uint32_t dwSelectedPeloAddr = 0;
  uint32_t dwConnectedPeloAddr = 0;
  platform::WsSockAddrIn localAddr{};
  platform::WsSockAddrIn remoteAddr{};
  PeloDatagram txDatagram{};
  PeloDatagram rxDatagram{};
  PeloDatagram ackDatagram{};
};

extern PeloLinkState PeloLink;

enum class PollResult { kDatagram, kNothing, kFailed };

// Sets both link forms to PELO_FORM_NONE (a Pelo device was just opened).
void ResetLinkForms();
uint16_t PeloNextSeq();
// Sends txDatagram: 4 bytes of header, the text and its zero. Error 77 on failure.
bool PeloSend();
// One recv of at most 134 bytes into rxDatagram.
PollResult PeloPoll();
// After a read that brought nothing the readers wait for the next datagram, up to limitMs,
// where the system can wait on the socket; elsewhere they poll recv with no pause.
void PeloAwait(uint32_t limitMs);
// Acknowledges rxDatagram between two 4 ms pauses; a failed send is not an error.
bool PeloAck();
// Reads and discards until the socket has nothing more (or fails), for at most the WinSock
// time-out.
void PeloDrain();
// An init or data datagram was read before an exchange: acknowledge it, read off what follows,
// and acknowledge the last datagram read (the same one again when nothing followed).
void PeloAckAndDrain();
// The clean-out read before an exchange.
bool PeloFlush();
// Fills txDatagram.
void PeloBuild(uint16_t type, uint16_t seq, const char *text);

// What one exchange does with a datagram of each type it meets; every exchange with the
// adapter reads through MeetDatagram with a policy of its own.
enum class OnDatagram : uint8_t {
  kPass,          // read and passed over
  kAckPass,       // acknowledged, then passed over
  kTake,          // handed to the caller
  kAckTake,       // acknowledged, then handed to the caller
  kAckDrainTake,  // acknowledged, what follows read off, the last acknowledged; handed over
  kFail,          // the exchange fails with error 96 (the error packet)
};
struct DatagramPolicy {
  OnDatagram init;
  OnDatagram data;
  OnDatagram ack;
  OnDatagram error;
  OnDatagram command;
  OnDatagram other;  // a type of no known meaning, a runt included
};
enum class Met { kNothing, kPassed, kTaken, kFailed };
// One read of the socket, dealt with by `policy`. kTaken leaves the datagram in rxDatagram;
// kFailed has the code set (the read's own, or 96).
Met MeetDatagram(const DatagramPolicy &policy);

// The Pelo family's opening and closing: WSOCK32.DLL loaded and started for UDP port `port`;
// ExitCOMM's close (socket, WSACleanup with error 98, the DLL freed).
bool PeloArgumentsValid(int port, int kind, int speed, int format);
int OpenPelo(int port, int kind, int speed, int format);
int ClosePelo();
// A link that could not be set up leaves the device closed, as ExitCOMM would; the code being
// reported stays.
void CloseAfterFailure();

void ResetPeloLink();

}  // namespace veldc::pelo
