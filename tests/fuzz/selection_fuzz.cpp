// Selecting a terminal on each serial kind: identification, reset, log-on with a password and
// the calendar correction, against any replies.
#include <string>

#include "fuzz_ops.h"
#include "veldc.h"

using namespace veldc::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzPlatform vp;
  FuzzLine line(in, vp);
  StartRun(in, vp, kYear2000);
  static constexpr int kKinds[] = {DEV_SERIAL_DIRECT, DEV_SERIAL_NETWORK, DEV_SERIAL_LOGON};
  const int kind = in.PickValueInArray(kKinds);
  Check(InitCOMM(1, kind, 9600, 0) > 0, "InitCOMM");
  if (in.ConsumeBool()) {
    const std::string password = FuzzText(in, 7);
    SetPassword(password.c_str());
  }
  for (int i = 0; i < 3 && in.remaining_bytes() > 0; ++i) {
    int address = in.ConsumeIntegralInRange<int>(-1, 255);
    if (in.ConsumeBool()) address = kind == DEV_SERIAL_DIRECT ? 0 : address % 32;
    const int r = SetTerminal(address);
    Check(r == 0 || r == -1, "SetTerminal result");
    CheckErrorState();
    if (r == 0) RunOps(in, 2, true, false, false);
  }
  Check(ExitCOMM() == 0, "ExitCOMM");
  return 0;
}
