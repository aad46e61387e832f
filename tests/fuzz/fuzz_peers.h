// Far ends for the fuzz targets: a serial line, a Pelo adapter and a Kov74 driver that answer
// the library with bytes taken from the fuzzer's input. Each attaches itself to the virtual
// platform it is given; an idle poll moves the virtual clock on so that time-outs cost few
// iterations.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "library_state.h"
#include "platform/virtual/virtual_platform.h"

namespace veldc::fuzz {

using platform::virt::Micros;
using platform::virt::VirtualPlatform;

// Virtual time an idle poll costs: a line read is followed by a short pause anyway, a socket
// or driver poll is not.
constexpr Micros kLineIdleStep = 20000;
constexpr Micros kIdleStep = 2000;

// The virtual platform with a coarser clock: every counter or tick read moves it on by a
// quarter millisecond more, so the library's busy-waits and time-outs take few iterations.
// Like a test fixture, it puts the library's globals back to their load-time values around
// each run.
class FuzzPlatform : public VirtualPlatform {
 public:
  static constexpr Micros kExtraReadStep = 250;
  FuzzPlatform() { ResetLibraryState(); }
  ~FuzzPlatform() override { ResetLibraryState(); }
  int64_t PerfCounter() override {
    Advance(kExtraReadStep);
    return VirtualPlatform::PerfCounter();
  }
  uint32_t TickCount() override {
    Advance(kExtraReadStep);
    return VirtualPlatform::TickCount();
  }
};

// Text for a command or a name: mostly short printable, sometimes any bytes.
std::string FuzzText(FuzzedDataProvider &in, size_t maxLength);

// Answers every line the host writes (a write ending in CR, or "+++") with one of: silence,
// the line echoed, fuzzer bytes, the echo followed by fuzzer bytes or by the lines and end
// line of a transfer, or a count.
class FuzzLine : public platform::virt::SerialPeer {
 public:
  FuzzLine(FuzzedDataProvider &in, VirtualPlatform &vp) : in_(in), vp_(vp) {
    vp.AttachSerial(this);
  }
  void FromHost(const uint8_t *data, size_t length, Micros now) override;
  void ToHost(Micros now, std::string *out) override;

 private:
  FuzzedDataProvider &in_;
  VirtualPlatform &vp_;
  std::string partial_;
  std::deque<std::pair<Micros, std::string>> out_;
};

// Answers every datagram the host sends with up to three datagrams: built from a type, a
// sequence number (often the host's) and a text (often the host's), cut or padded to any
// length; or raw bytes of any length.
class FuzzAdapter : public platform::virt::DatagramPeer {
 public:
  FuzzAdapter(FuzzedDataProvider &in, VirtualPlatform &vp) : in_(in), vp_(vp) {
    vp.AttachAdapter(this);
  }
  void FromHost(const uint8_t *data, size_t length, Micros now) override;
  bool ToHost(Micros now, std::string *datagram) override;

 private:
  std::string Build(const std::string &heard);

  FuzzedDataProvider &in_;
  VirtualPlatform &vp_;
  std::deque<std::pair<Micros, std::string>> out_;
};

// A driver whose every poll result and record comes from the fuzzer. Records never exceed
// 259 bytes, the most the library's record buffer holds.
class FuzzDriver : public platform::virt::Kov74Peer {
 public:
  FuzzDriver(FuzzedDataProvider &in, VirtualPlatform &vp) : in_(in), vp_(vp) { vp.SetKov74(this); }
  int Open(int, int, int, int) override { return 1; }
  int SetSpeed(int) override { return 0; }
  int Close() override { return 0; }
  int Poll(int address, char *record, Micros now) override;
  int Send(int address, const char *text, Micros now) override;

  static constexpr size_t kRecordLimit = 259;

 private:
  FuzzedDataProvider &in_;
  VirtualPlatform &vp_;
  std::string lastSent_;
};

// A directory of this process for the PC files of uploads and downloads.
std::string ScratchPath(const char *name);

// What else an input may choose at its start.
enum RunChoices : unsigned {
  kNoChoice = 0,
  kYear2000 = 1,  // the year one model needs corrected
  kMeters = 2,    // the meters on or off
};

// Short time-outs so that one input runs in milliseconds, a tick count that wraps within the
// first minute, and the `choices` taken from the input in this order.
void StartRun(FuzzedDataProvider &in, VirtualPlatform &vp, unsigned choices);

}  // namespace veldc::fuzz
