// The simulator's own parsers against any host: bytes into each serial line model (the line
// collector, the terminals' command reader, the log-on and network framing, the modem's command
// mode), in chunks at instants the input picks. What the simulator promises whatever it hears:
// no crash, a bounded line in progress, replies only from terminals that exist.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "check.h"
#include "sim/direct_line.h"
#include "sim/line_output.h"
#include "sim/logon_line.h"
#include "sim/modem.h"
#include "sim/network_interface.h"
#include "sim/terminal.h"

using namespace veldc::sim;
using veldc::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  Terminal veld("Veld", 0), sorvik("Sorvik", 1, 'P');
  veld.PutFile('C', "DATA", {"R1", "R2"});
  sorvik.SetPassword("PW1");
  sorvik.SetLocked(in.ConsumeBool());
  std::unique_ptr<ByteLine> line, behind;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      line = std::make_unique<DirectLine>(veld);
      break;
    case 1:
      line = std::make_unique<LogonLine>(std::vector<Terminal *>{&veld, &sorvik});
      break;
    case 2:
      line = std::make_unique<NetworkInterface>(std::vector<Terminal *>{&veld, &sorvik});
      break;
    default:
      behind = std::make_unique<DirectLine>(veld);
      line = std::make_unique<Modem>(*behind);
      break;
  }
  Micros now = 0;
  std::string out;
  while (in.remaining_bytes() > 0) {
    const std::string bytes = in.ConsumeRandomLengthString(600);
    line->FromHost(bytes, now);
    now += in.ConsumeIntegralInRange<Micros>(0, 3000 * kMillis);
    line->ToHost(now, &out);
  }
  // Whatever was said, everything queued comes out in bounded time.
  const Micros end = now + 3600 * 1000 * kMillis;
  line->ToHost(end, &out);
  Check(line->NextDue() == ByteLine::kNever || line->NextDue() > end, "everything due came out");
  for (const Terminal *t : {&veld, &sorvik}) {
    for (const std::string &c : t->Commands()) {
      Check(c.size() <= LineCollector::kMaxLine, "a command line's length");
    }
  }
  return 0;
}
