// The terminal services on a direct line and on the network interface: listings, views,
// uploads with their end lines and checksums, parameter blocks, downloads and their echoes.
#include "fuzz_ops.h"
#include "veldc.h"

using namespace veldc::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzPlatform vp;
  FuzzLine line(in, vp);
  StartRun(in, vp, kMeters);
  const bool network = in.ConsumeIntegralInRange<int>(0, 3) == 0;
  Check(InitCOMM(1, network ? DEV_SERIAL_NETWORK : DEV_SERIAL_DIRECT, 9600, 0) > 0, "InitCOMM");
  Check(ChgTerminal(network ? in.ConsumeIntegralInRange<int>(1, 254) : 0) == 0, "ChgTerminal");
  RunOps(in, 8, false, false, true);
  Check(ExitCOMM() == 0, "ExitCOMM");
  Check(vp.OpenMeterCount() == 0, "meters closed");
  return 0;
}
