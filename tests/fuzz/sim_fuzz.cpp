// The simulator's own parsers against any host, at instants the input picks: bytes into each
// serial line model (the line collector, the terminals' command reader, the log-on and network
// framing, the modem's command mode), datagrams of any length and content into the Pelo
// adapter's decoder. What the simulator promises whatever it hears: no crash; on a line, a
// bounded line in progress and everything queued out in bounded time; at the adapter, every
// datagram it sends decodes, with a header and a text that ends in its zero, and never more
// than a few for each one it hears.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>

#include "check.h"
#include "sim/direct_line.h"
#include "sim/line_output.h"
#include "sim/logon_line.h"
#include "sim/modem.h"
#include "sim/network_interface.h"
#include "sim/pelo_adapter.h"
#include "sim/terminal.h"

using namespace veldc::sim;
using veldc::fuzz::Check;

namespace {

void Lines(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  Terminal veld("Veld", 0), sorvik("Sorvik", 1, 'P');
  veld.PutFile('C', "DATA", {"R1", "R2"});
  sorvik.SetPassword("PW1");
  sorvik.SetLocked(in.ConsumeBool());
  // A direct line, a log-on line, the network interface, or a modem with a direct line behind.
  const std::vector<Terminal *> both{&veld, &sorvik};
  const int kind = in.ConsumeIntegralInRange<int>(0, 3);
  std::unique_ptr<ByteLine> direct = std::make_unique<DirectLine>(veld), other;
  if (kind == 1) other = std::make_unique<LogonLine>(both);
  if (kind == 2) other = std::make_unique<NetworkInterface>(both);
  if (kind == 3) other = std::make_unique<Modem>(*direct);
  ByteLine *line = kind == 0 ? direct.get() : other.get();
  Micros now = 0;
  std::string out;
  while (in.remaining_bytes() > 0) {
    line->FromHost(in.ConsumeRandomLengthString(600), now);
    now += in.ConsumeIntegralInRange<Micros>(0, 3000 * kMillis);
    line->ToHost(now, &out);
  }
  const Micros end = now + 3600 * 1000 * kMillis;
  line->ToHost(end, &out);
  Check(line->NextDue() == ByteLine::kNever || line->NextDue() > end, "everything due came out");
  for (const Terminal *t : {&veld, &sorvik})
    for (const std::string &c : t->Commands()) Check(c.size() <= LineCollector::kMaxLine, "a line");
}

void Pelo(const uint8_t *data, size_t size) {
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
}

}  // namespace

VELDC_FUZZ_ENTRIES(Lines, Pelo)
