// The Kov74 driver handing the library records of any content: selection, exchanges, posted
// commands and services through the driver.
#include "fuzz_ops.h"
#include "veldc.h"

using namespace veldc::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzPlatform vp;
  FuzzDriver driver(in, vp);
  StartRun(in, vp, kYear2000 | kMeters);
  static constexpr int kKinds[] = {DEV_KOV74_MODE0, DEV_KOV74_MODE1, DEV_KOV74_MODE2};
  Check(InitCOMM(1, in.PickValueInArray(kKinds), 0, 0) > 0, "InitCOMM");
  const int address = in.ConsumeIntegralInRange<int>(0, 255);
  const int r = in.ConsumeBool() ? SetTerminal(address) : ChgTerminal(address);
  Check(r == 0 || r == -1, "selection result");
  CheckErrorState();
  RunOps(in, 8, true, false, true);
  ExitCOMM();
  return 0;
}
