#include "fuzz_ops.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_peers.h"
#include "veldc.h"

namespace veldc::fuzz {
namespace {

// A writable name in a heap block of exactly its size, so that any write past it is seen.
std::vector<char> Name(FuzzedDataProvider &in, size_t maxLength) {
  const std::string text = FuzzText(in, maxLength);
  return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

// A reply buffer of the documented size, filled so that an unterminated reply shows.
struct Reply {
  std::vector<char> bytes = std::vector<char>(VELDC_REPLY_SIZE, 'Z');
  char *data() { return bytes.data(); }
  bool Ended() const { return std::memchr(bytes.data(), '\0', bytes.size()) != nullptr; }
};

void CheckResult(int r, const char *what) { Check(r == 0 || r == -1, what); }

// A reply call: 0 or -1, and on success a text that ends within the host's buffer.
void CheckReply(int r, const Reply &reply, const char *what) {
  CheckResult(r, what);
  if (r == 0) Check(reply.Ended(), what);
}

void WritePcFile(FuzzedDataProvider &in, const std::string &path) {
  std::string content = in.ConsumeRandomLengthString(600);
  if (in.ConsumeBool()) {
    // Mostly text lines, so that records get through to the terminal.
    for (char &c : content) {
      const auto b = static_cast<uint8_t>(c);
      c = b % 8 == 0 ? '\r' : b % 8 == 1 ? '\n' : static_cast<char>(0x20 + b % 95);
    }
  }
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

void ListOp(FuzzedDataProvider &in) {
  std::vector<char> entries(VELDC_DIR_ENTRIES * VELDC_DIR_SLOT, 'Z');
  const bool none = in.ConsumeIntegralInRange<int>(0, 5) == 0;
  std::vector<char> name = Name(in, 10);
  const int r = ListFiles(none ? nullptr : name.data(), entries.data());
  if (r == -1) return;
  Check(r >= 0 && r <= VELDC_DIR_ENTRIES, "ListFiles count");
  for (int i = 0; i < r; ++i) {
    Check(std::memchr(&entries[i * VELDC_DIR_SLOT], '\0', VELDC_DIR_SLOT) != nullptr,
          "ListFiles entry ends in its slot");
  }
}

void ViewOp(FuzzedDataProvider &in) {
  const unsigned size = in.ConsumeBool() ? in.ConsumeIntegralInRange<unsigned>(0, 48)
                                         : in.ConsumeIntegralInRange<unsigned>(0, 600);
  std::vector<char> buffer(size, 'Z');
  std::vector<char> name = Name(in, 10);
  // A null pointer for an empty buffer would be refused; a one-byte heap block stands in.
  std::vector<char> none(1, 'Z');
  const int r = ViewFile(name.data(), size > 0 ? buffer.data() : none.data(), size);
  if (r == -1) return;
  Check(r >= 0, "ViewFile count");
  if (size > 0) Check(std::memchr(buffer.data(), '\0', size) != nullptr, "ViewFile text ends");
  Check(none[0] == 'Z', "ViewFile wrote into an empty buffer");
}

void RecvOp(FuzzedDataProvider &in) {
  std::vector<char> name = Name(in, 9);
  const std::string path = ScratchPath("upload.txt");
  const int r = RecvFile(name.data(), path.c_str());
  Check(r >= -1 && r <= 10000, "RecvFile count");
}

void ParamsOp(FuzzedDataProvider &in) {
  std::vector<int> selection(VELDC_PARAM_COUNT, 0);
  const int picks = in.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < picks; ++i) selection[in.ConsumeIntegralInRange<int>(0, 99)] = 1;
  std::vector<char> values(VELDC_PARAM_COUNT * VELDC_PARAM_SLOT, 'Z');
  const int r = GetAllParams(selection.data(), values.data());
  Check(r == 0 || (r >= -100 && r < 0), "GetAllParams result");
  for (int i = 0; i < VELDC_PARAM_COUNT; ++i) {
    const char *slot = &values[static_cast<size_t>(i) * VELDC_PARAM_SLOT];
    if (r == 0 && selection[i] != 0) {
      Check(std::memchr(slot, '\0', VELDC_PARAM_SLOT) != nullptr, "GetAllParams slot ends");
    } else {
      // A failed run leaves the block as it was; an unselected slot is never written.
      Check(slot[0] == 'Z', "GetAllParams wrote a slot it should not");
    }
  }
}

void SendFileOp(FuzzedDataProvider &in) {
  const std::string path = ScratchPath("download.txt");
  WritePcFile(in, path);
  std::vector<char> name = Name(in, 9);
  const int pFlag = in.ConsumeIntegralInRange<int>(0, 1);
  const int option = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<int>(-1, 128);
  const int r = in.ConsumeIntegralInRange<int>(0, 4) == 0
                    ? SendPrg(path.c_str())
                    : SendFile(path.c_str(), name.data(), pFlag, option);
  Check(r >= -1 && r <= 10000, "download count");
}

void SingleValueOp(FuzzedDataProvider &in) {
  static constexpr std::pair<const char *, decltype(&GetTime)> kReads[] = {{"GetTime", GetTime},
                                                                           {"GetDate", GetDate}};
  static constexpr std::pair<const char *, decltype(&SetTime)> kSets[] = {
      {"SetTime", SetTime}, {"SetDate", SetDate}, {"ChgDrv", ChgDrv}};
  Reply value;
  const std::string text = FuzzText(in, 40);
  const int pick = in.ConsumeIntegralInRange<int>(0, 9);
  if (pick <= 1) {
    CheckReply(kReads[pick].second(value.data()), value, kReads[pick].first);
  } else if (pick == 2) {
    CheckReply(GetParameter(in.ConsumeIntegralInRange<int>(-1, 100), value.data()), value,
               "GetParameter");
  } else if (pick == 3) {
    CheckResult(SetParameter(in.ConsumeIntegralInRange<int>(0, 99), text.c_str()), "SetParameter");
  } else if (pick <= 6) {
    CheckResult(kSets[pick - 4].second(text.c_str()), kSets[pick - 4].first);
  } else if (pick == 7) {
    std::vector<char> name = Name(in, 9);
    CheckResult(DeleFile(name.data()), "DeleFile");
  } else {
    std::vector<int> selection(VELDC_PARAM_COUNT, 0);
    selection[in.ConsumeIntegralInRange<int>(0, 99)] = 1;
    std::vector<char> values(VELDC_PARAM_COUNT * VELDC_PARAM_SLOT, '\0');
    std::memcpy(values.data(), text.data(), std::min<size_t>(text.size(), values.size()));
    const int r = SetAllParams(selection.data(), values.data());
    Check(r == 0 || (r >= -100 && r < 0), "SetAllParams result");
  }
}

}  // namespace

void CheckCleanUp() {
  const VirtualPlatform *vp = VirtualPlatform::Current();
  using platform::virt::Call;
  size_t opened = 0;
  for (Call c : {Call::FileOpenRead, Call::FileCreate}) {
    for (const auto &e : vp->LogOf(c)) opened += e.failed ? 0 : 1;
  }
  Check(opened == vp->LogOf(Call::FileClose).size(), "every PC file opened is closed once");
  Check(vp->OpenMeterCount() == 0, "no meter left open");
}

void CheckErrorState() {
  char message[VELDC_ERROR_TEXT_SIZE];
  const int code = GetError(message);
  Check(code >= 0 && code <= 99, "error code in the table");
  Check(std::memchr(message, '\0', sizeof message) != nullptr, "error message fits");
}

void ExchangeOp(FuzzedDataProvider &in) {
  Reply reply;
  const int pick = in.ConsumeIntegralInRange<int>(0, 4);
  const std::string command = pick == 0 || pick == 2 ? FuzzText(in, 140) : std::string();
  if (pick == 0) {
    CheckReply(SendCommand(command.c_str(), reply.data()), reply, "SendCommand");
  } else if (pick == 1) {
    CheckReply(GetMsgEx(reply.data()), reply, "GetMsgEx");
  } else if (pick == 2) {
    CheckResult(PostCommand(command.c_str()), "PostCommand");
  } else if (pick == 3) {
    CheckReply(GetResponse(reply.data()), reply, "GetResponse");
  } else {
    CheckResult(ChgTerminal(in.ConsumeIntegralInRange<int>(-1, 255)), "ChgTerminal");
  }
}

void ModemOp(FuzzedDataProvider &in) {
  if (in.ConsumeIntegralInRange<int>(0, 2) == 0) {
    CheckResult(HangUp(), "HangUp");
    return;
  }
  const bool noInit = in.ConsumeBool();
  const std::string init = FuzzText(in, 34);
  const std::string number = FuzzText(in, 34);
  const int timeout = in.ConsumeIntegralInRange<int>(-1, 3);
  CheckResult(DialNumber(noInit ? nullptr : init.c_str(), number.c_str(), timeout), "DialNumber");
}

void ServiceOp(FuzzedDataProvider &in) {
  static void (*const kOps[])(FuzzedDataProvider &) = {ListOp,   ViewOp,     RecvOp,
                                                       ParamsOp, SendFileOp, SingleValueOp};
  kOps[in.ConsumeIntegralInRange<size_t>(0, std::size(kOps) - 1)](in);
}

void FaultOp(FuzzedDataProvider &in) {
  using platform::virt::Call;
  static constexpr Call kCalls[] = {Call::ComWrite,        Call::ComPurge,     Call::ComClearError,
                                    Call::ComTransmitChar, Call::WsSend,       Call::WsRecv,
                                    Call::FileCreate,      Call::FileOpenRead, Call::FileRead,
                                    Call::FileWrite,       Call::FileClose,    Call::FileDelete,
                                    Call::Kov74Send,       Call::Kov74Poll,    Call::MeterCreate};
  VirtualPlatform::Current()->Fail(
      in.PickValueInArray(kCalls), in.ConsumeIntegralInRange<int>(1, 6),
      in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<int>(-12, 10060));
}

void RunOps(FuzzedDataProvider &in, int limit, bool exchange, bool modem, bool services) {
  for (int i = 0; i < limit && in.remaining_bytes() > 0; ++i) {
    if (in.ConsumeIntegralInRange<int>(0, 5) == 0) FaultOp(in);
    const int pick = in.ConsumeIntegralInRange<int>(0, 2);
    if (pick == 0 && exchange) {
      ExchangeOp(in);
    } else if (pick == 1 && modem) {
      ModemOp(in);
    } else if (services) {
      ServiceOp(in);
    } else if (exchange) {
      ExchangeOp(in);
    } else {
      ModemOp(in);
    }
    CheckErrorState();
    CheckCleanUp();
  }
}

}  // namespace veldc::fuzz
