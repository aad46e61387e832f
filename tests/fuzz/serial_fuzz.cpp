// Replies on the serial kinds: commands and their replies, unsolicited messages, posted
// commands, and the modem dialogue, on a line that answers with the fuzzer's bytes.
#include "fuzz_ops.h"
#include "veldc.h"

using namespace veldc::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzPlatform vp;
  FuzzLine line(in, vp);
  StartRun(in, vp, kNoChoice);
  static constexpr int kKinds[] = {DEV_SERIAL_DIRECT, DEV_SERIAL_NETWORK, DEV_SERIAL_LOGON};
  const int kind = in.PickValueInArray(kKinds);
  Check(InitCOMM(1, kind, 9600, 0) > 0, "InitCOMM");
  const int address = kind == DEV_SERIAL_DIRECT  ? 0
                      : kind == DEV_SERIAL_LOGON ? in.ConsumeIntegralInRange<int>(0, 31)
                                                 : in.ConsumeIntegralInRange<int>(1, 254);
  ChgTerminal(address);
  RunOps(in, 10, true, true, false);
  Check(ExitCOMM() == 0, "ExitCOMM");
  return 0;
}
