// The simulated Pelo adapter's datagram decoder against any host: datagrams of any length and
// content, at instants the input picks. What it promises: every datagram it sends decodes, with
// a header and a text that ends in its zero, and it never answers more than a few datagrams
// for each one it hears.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

#include "check.h"
#include "sim/pelo_adapter.h"
#include "sim/terminal.h"

using namespace veldc::sim;
using veldc::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  Terminal veld("Veld", 5), dulm("Dulm", 7, 'P');
  veld.PutFile('C', "DATA", {"R1", "R2"});
  PeloAdapter adapter(0xC0A8000A, in.ConsumeBool() ? PeloAdapter::kNetwork : PeloAdapter::kSingle);
  adapter.AttachTerminal(&veld);
  adapter.AttachTerminal(&dulm);
  Micros now = 0;
  size_t heard = 0, sent = 0;
  while (in.remaining_bytes() > 0) {
    const std::string datagram = in.ConsumeRandomLengthString(300);
    ++heard;
    // Decoding alone: a header of four bytes, the text to its zero or the end.
    PeloPacket packet;
    const bool decoded = PeloPacket::Decode(reinterpret_cast<const uint8_t *>(datagram.data()),
                                            datagram.size(), &packet);
    Check(decoded == (datagram.size() >= 4), "a header decodes");
    if (decoded) Check(packet.text.find('\0') == std::string::npos, "a text ends at its zero");
    adapter.FromHost(datagram, now);
    now += in.ConsumeIntegralInRange<Micros>(0, 2000 * kMillis);
    std::string out;
    while (adapter.ToHost(now, &out)) {
      ++sent;
      Check(out.size() >= 5 && out.size() <= 136 && out.back() == '\0', "a whole datagram");
      Check(std::memchr(out.data() + 4, '\0', out.size() - 4) == out.data() + out.size() - 1,
            "one zero, at the end");
    }
  }
  Check(sent <= 16 * (heard + 1), "answers per datagram heard");
  return 0;
}
