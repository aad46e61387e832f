// The Pelo adapter answering with datagrams of any length and type: connecting, adapter
// commands, selection, exchanges, posted commands and services over the link.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_ops.h"
#include "veldc.h"

using namespace veldc::fuzz;

namespace {

void AdapterOp(FuzzedDataProvider &in) {
  static const char *const kCommands[] = {"X", "%", "A192.168.0.11", "C3", "C1", "V", ""};
  const std::string command = in.ConsumeBool() ? in.PickValueInArray(kCommands) : FuzzText(in, 140);
  std::vector<char> reply(VELDC_REPLY_SIZE, 'Z');
  const int pick = in.ConsumeIntegralInRange<int>(0, 3);
  if (pick == 0) {
    Check(PeloReset() >= -1, "PeloReset");
  } else if (pick == 1) {
    Check(SetTerminal(in.ConsumeIntegralInRange<int>(-1, 255)) >= -1, "SetTerminal");
  } else {
    const int r = PeloCommand(command.c_str(), reply.data());
    Check(r == 0 || r == -1, "PeloCommand result");
    // An acknowledgement instead of a reply succeeds with the buffer untouched.
    const bool untouched = std::all_of(reply.begin(), reply.end(), [](char c) { return c == 'Z'; });
    if (r == 0 && !untouched) {
      Check(std::memchr(reply.data(), '\0', reply.size()) != nullptr, "PeloCommand reply ends");
    }
  }
  CheckErrorState();
  CheckCleanUp();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzPlatform vp;
  FuzzAdapter adapter(in, vp);
  StartRun(in, vp, kYear2000 | kMeters);
  Check(InitCOMM(5000, DEV_PELO, 0, 0) == 5000, "InitCOMM");
  const int r = SetIPAddress("192.168.0.10");
  Check(r == 0 || r == -1, "SetIPAddress result");
  CheckErrorState();
  CheckCleanUp();
  if (r == 0) ChgTerminal(in.ConsumeIntegralInRange<int>(0, 2));
  for (int i = 0; i < 8 && in.remaining_bytes() > 0; ++i) {
    if (in.ConsumeBool()) {
      AdapterOp(in);
    } else {
      RunOps(in, 1, true, false, true);
    }
  }
  ExitCOMM();
  Check(vp.OpenMeterCount() == 0, "meters closed");
  return 0;
}
