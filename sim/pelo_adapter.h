// The Pelo Ethernet adapter as a pure model: datagrams from the host in, datagrams for the
// host out when they are due. It answers a host's greeting with an init packet, acknowledges
// and numbers datagrams, answers its own commands
// ("X" status, "%" reset, "A" address, "C" link form) and carries terminal lines to and from
// the terminals behind it in either link form. Transports adapt it to a virtual socket (unit
// tests) or to real UDP (veldc-sim --pelo).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sim/byte_line.h"

namespace veldc::sim {

class Terminal;

// One datagram as both ends lay it out: type and sequence number (16-bit little-endian), then
// the text and its terminating zero.
struct PeloPacket {
  uint16_t type = 0;
  uint16_t seq = 0;
  std::string text;

  static constexpr uint16_t kInit = 2;
  static constexpr uint16_t kData = 3;
  static constexpr uint16_t kAck = 4;
  static constexpr uint16_t kError = 5;
  static constexpr uint16_t kCommand = 6;

  std::string Encode() const;
  // False for anything shorter than the 4-byte header. The text runs to the first zero byte
  // or to the end of the datagram.
  static bool Decode(const uint8_t *data, size_t length, PeloPacket *packet);
};

// Misbehaviour switched on by tests or the simulator's user. Counts are used up one by one.
struct PeloFaults {
  int lostAcks = 0;      // acknowledgements the adapter sends that never arrive
  int repeatedData = 0;  // datagrams to the host that go out twice with the same number
  int oversized = 0;     // datagrams to the host padded to `oversizedLength` bytes
  size_t oversizedLength = 200;
  int initOnData = 0;     // host data answered by an init packet instead of being carried
  int errorPackets = 0;   // host commands and data answered by an error packet
  bool silent = false;    // hears everything, says nothing
  bool ackReset = false;  // "%" is acknowledged at once, before the restart
};

class PeloAdapter {
 public:
  enum Form : int { kNetwork = 1, kSingle = 3 };

  // `address` in host byte order (127.0.0.2 is 0x7F000002).
  explicit PeloAdapter(uint32_t address = 0x7F000002, Form form = kNetwork);

  // Terminals are not owned. In the network form a terminal is reached by its address; in the
  // single form the first one attached takes every line.
  void AttachTerminal(Terminal *terminal);

  void FromHost(const uint8_t *data, size_t length, Micros now);
  void FromHost(const std::string &datagram, Micros now) {
    FromHost(reinterpret_cast<const uint8_t *>(datagram.data()), datagram.size(), now);
  }
  // Pops one datagram due at or before `now`; false when none is.
  bool ToHost(Micros now, std::string *datagram);
  // When the next datagram may fall due; ByteLine::kNever when nothing is pending.
  Micros NextDue() const;

  // An init packet, as the adapter sends when it has (re)started; resent until acknowledged.
  void SendInit(Micros at);
  // Raw bytes sent to the host at `at`, for hostile-peer tests.
  void Inject(std::string bytes, Micros at);

  PeloFaults &Faults() { return faults_; }

  uint32_t Address() const { return address_; }
  Form LinkForm() const { return form_; }
  // What the next reset will use ("A" and "C" commands).
  uint32_t ChosenAddress() const { return chosenAddress_; }
  Form ChosenForm() const { return chosenForm_; }
  int Resets() const { return resets_; }
  // Acknowledgements of number 0 that acknowledged nothing: the host's greeting, answered
  // with an init packet.
  int Greetings() const { return greetings_; }
  // Every datagram heard from the host, decoded (runts are left out).
  const std::vector<PeloPacket> &Heard() const { return heard_; }
  // Lines carried to terminals, as (address, line).
  const std::vector<std::pair<int, std::string>> &Delivered() const { return delivered_; }

  // The status reply's text: "V" with the version, and "C3" in the network form.
  std::string StatusText() const;

  // How long the adapter takes to answer anything (1 ms unless set).
  void SetAnswerDelay(Micros delay) { answerDelay_ = delay; }
  static constexpr Micros kResetTime = 200 * kMillis;
  static constexpr Micros kResendInterval = 800 * kMillis;
  static constexpr int kSends = 3;
  static constexpr size_t kMaxText = 131;

 private:
  struct Pending {
    uint16_t type;
    std::string text;
    Micros due;
  };
  struct InFlight {
    bool active = false;
    uint16_t seq = 0;
    std::string bytes;
    int sends = 0;
    Micros resendAt = 0;
  };

  void Emit(Micros at, const PeloPacket &packet);
  static std::string Record(PeloPacket packet);
  void EmitRaw(Micros at, std::string bytes);
  void Command(const PeloPacket &packet, Micros now);
  void Data(const PeloPacket &packet, Micros now);
  void Acknowledge(uint16_t seq, Micros now);
  void Carry(int address, const std::string &line, Micros now);
  void Queue(uint16_t type, std::string text, Micros due);
  Terminal *TerminalAt(int address) const;
  std::string Frame(const Terminal &terminal, const std::string &line) const;
  void Pump(Micros now);
  void FinishReset();
  uint16_t NextSeq();

  uint32_t address_;
  Form form_;
  uint32_t chosenAddress_;
  Form chosenForm_;
  std::vector<Terminal *> terminals_;
  PeloFaults faults_;
  Micros answerDelay_ = 1 * kMillis;

  std::multimap<Micros, std::string> out_;  // equal instants keep their order
  std::deque<Pending> backlog_;             // numbered datagrams waiting their turn
  InFlight inFlight_;
  uint16_t seqCounter_ = 0;
  int lastHostDataSeq_ = -1;
  bool resetting_ = false;
  Micros resetAt_ = 0;
  int resets_ = 0;
  int greetings_ = 0;
  std::vector<PeloPacket> heard_;
  std::vector<std::pair<int, std::string>> delivered_;
};

}  // namespace veldc::sim
