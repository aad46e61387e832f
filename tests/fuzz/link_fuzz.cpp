// Hostile far ends on every link of the library, on the virtual platform: a serial line, a Pelo
// adapter and a Kov74 driver answering with the fuzzer's bytes, while the fuzzer picks the
// public calls and which platform call fails. After each call, what the library promises the
// host whatever the wire said: replies end within their buffers, counts stay in range, the
// error state is one of the table's codes, PC files are closed, no meter is left open. Built
// once per target; VELDC_FUZZ_ENTRY picks the entry (serial, selection, services, pelo, kov74).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "check.h"
#include "library_state.h"
#include "platform/virtual/virtual_platform.h"
#include "veldc.h"

namespace veldc::fuzz {
namespace {

using platform::virt::Call;
using platform::virt::Micros;
using platform::virt::VirtualPlatform;

// The virtual platform with a coarser clock, so busy-waits and time-outs take few iterations;
// the library's globals put back to their load-time values around each run.
class FuzzPlatform : public VirtualPlatform {
 public:
  FuzzPlatform() { ResetLibraryState(); }
  ~FuzzPlatform() override { ResetLibraryState(); }
  int64_t PerfCounter() override { return Advance(250), VirtualPlatform::PerfCounter(); }
  uint32_t TickCount() override { return Advance(250), VirtualPlatform::TickCount(); }
};

// Answers are due up to 2.55 s after what they answer: before, around and after time-outs.
Micros Delay(FuzzedDataProvider &in) { return Micros{in.ConsumeIntegral<uint8_t>()} * 10000; }

// Text for a command or a name: mostly short printable, sometimes any bytes.
std::string FuzzText(FuzzedDataProvider &in, size_t maxLength) {
  std::string text = in.ConsumeRandomLengthString(maxLength);
  if (in.ConsumeBool())
    for (char &c : text) c = static_cast<char>(0x20 + static_cast<uint8_t>(c) % 95);
  return text;
}

// The lines of a listing, view or upload and its end line: a count that is mostly right and a
// checksum that is right, wrong or missing.
std::string Transfer(FuzzedDataProvider &in) {
  std::string out;
  const int lines = in.ConsumeIntegralInRange<int>(0, 12);
  int32_t sum = 0;
  for (int i = 0; i < lines; ++i) {
    for (char c : in.ConsumeRandomLengthString(140))
      out += c == '\r' || c == '\0' ? ' ' : c, sum += static_cast<signed char>(out.back());
    out += "\r";
  }
  out += "\x04" + std::to_string(in.ConsumeBool() ? lines : in.ConsumeIntegralInRange(-1, 14));
  const int sumPick = in.ConsumeIntegralInRange<int>(0, 2);
  if (sumPick < 2)
    out += " RECS " + std::to_string(sumPick == 0 ? sum % 32768 : in.ConsumeIntegral<int16_t>());
  return out + "\r";
}

struct Peer {
  FuzzedDataProvider &in_;
  VirtualPlatform &vp_;
  std::deque<std::pair<Micros, std::string>> out_{};
};

// Answers each line the host writes (ending in CR, or "+++") with silence, the echo, fuzzer
// bytes, the echo and fuzzer bytes, the echo and a transfer, or a count; sometimes a line fault.
class FuzzLine : public platform::virt::SerialPeer, Peer {
 public:
  FuzzLine(FuzzedDataProvider &in, VirtualPlatform &vp) : Peer{in, vp} { vp.AttachSerial(this); }
  void FromHost(const uint8_t *data, size_t length, Micros now) override {
    partial_.append(reinterpret_cast<const char *>(data), length);
    const size_t cr = partial_.find('\r');
    const bool escape =
        partial_.size() >= 3 && partial_.compare(partial_.size() - 3, 3, "+++") == 0;
    if (cr == std::string::npos && !escape) return;
    const std::string line = partial_.substr(0, cr);
    partial_.clear();
    if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) {
      // Framing with break, overrun, any mask: the next ClearCommError reports it.
      static constexpr uint32_t kMasks[] = {24, 8, 2, 1, 0x10, 0x100};
      vp_.QueueClearErrorMask(in_.ConsumeBool() ? in_.PickValueInArray(kMasks)
                                                : in_.ConsumeIntegral<uint32_t>());
    }
    const int pick = in_.ConsumeIntegralInRange<int>(0, 5);
    if (pick == 0) return;
    std::string answer = pick == 1 || pick == 3 || pick == 4 ? line + "\r" : "";
    if (pick == 2 || pick == 3) answer += in_.ConsumeRandomLengthString(300);
    if (pick == 4) answer += Transfer(in_);
    if (pick == 5) answer = std::to_string(in_.ConsumeIntegralInRange<int>(-1, 12)) + "\r";
    out_.emplace_back(now + Delay(in_), std::move(answer));
  }
  void ToHost(Micros now, std::string *out) override {
    bool any = false;
    for (; !out_.empty() && out_.front().first <= now; any = true, out_.pop_front())
      out->append(out_.front().second);
    if (!any) vp_.Advance(20000);  // a line read is followed by a short pause anyway
  }

 private:
  std::string partial_;
};

std::string Le16(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }

// Answers each datagram with up to three: a type, a sequence number (often the host's) and a
// text (often the host's) cut or padded to any length; or raw bytes.
class FuzzAdapter : public platform::virt::DatagramPeer, Peer {
 public:
  FuzzAdapter(FuzzedDataProvider &in, VirtualPlatform &vp) : Peer{in, vp} {
    vp.AttachAdapter(this);
  }
  void FromHost(const uint8_t *data, size_t length, Micros now) override {
    const std::string heard(reinterpret_cast<const char *>(data), length);
    for (int i = in_.ConsumeIntegralInRange<int>(0, 3); i > 0; --i) {
      const Micros at = now + Delay(in_);  // before the datagram's bytes
      out_.emplace_back(at, Build(heard));
    }
  }
  bool ToHost(Micros now, std::string *datagram) override {
    const auto due =
        std::find_if(out_.begin(), out_.end(), [&](auto &a) { return a.first <= now; });
    if (due == out_.end()) return vp_.Advance(2000), false;
    *datagram = std::move(due->second);
    out_.erase(due);
    return true;
  }

 private:
  std::string Build(const std::string &heard) {
    if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) return in_.ConsumeRandomLengthString(320);
    static constexpr uint16_t kTypes[] = {2, 3, 4, 5, 6, 0, 1, 7};
    const uint16_t type =
        in_.ConsumeBool() ? in_.PickValueInArray(kTypes) : in_.ConsumeIntegral<uint16_t>();
    uint16_t seq = heard.size() < 4 ? 0
                                    : static_cast<uint16_t>(static_cast<uint8_t>(heard[2]) |
                                                            static_cast<uint8_t>(heard[3]) << 8);
    const int seqPick = in_.ConsumeIntegralInRange<int>(0, 2);  // the host's, the next, any
    if (seqPick == 1) seq = static_cast<uint16_t>(seq + 1);
    if (seqPick == 2) seq = in_.ConsumeIntegral<uint16_t>();
    const std::string heardText = heard.size() > 4 ? heard.substr(4) : std::string();
    // The host's text with its zero, any text, or the host's address byte and any text.
    const int textPick = in_.ConsumeIntegralInRange<int>(0, 2);
    std::string text = textPick == 0 ? heardText : textPick == 2 ? heardText.substr(0, 1) : "";
    if (textPick != 0) text += in_.ConsumeRandomLengthString(200);
    if (in_.ConsumeBool()) return Le16(type) + Le16(seq) + text + '\0';
    // Cut or padded to any length, past the 136-byte record too.
    const size_t length = in_.ConsumeIntegralInRange<size_t>(0, 300);
    text.resize(length, static_cast<char>(in_.ConsumeIntegral<uint8_t>()));
    return Le16(type) + Le16(seq) + text;
  }
};

// A driver whose every poll result and record comes from the fuzzer; records never exceed
// the 259 bytes the library's record buffer holds.
class FuzzDriver : public platform::virt::Kov74Peer, Peer {
 public:
  FuzzDriver(FuzzedDataProvider &in, VirtualPlatform &vp) : Peer{in, vp} { vp.SetKov74(this); }
  int Open(int, int, int, int) override { return 1; }
  int SetSpeed(int) override { return 0; }
  int Close() override { return 0; }
  int Poll(int address, char *record, Micros) override {
    static constexpr int kResults[] = {0, 1, 2, 2, -1, 3};
    const int r = in_.PickValueInArray(kResults);
    if (r != 2) return r;
    record[0] = static_cast<char>(in_.ConsumeBool() ? address : in_.ConsumeIntegral<uint8_t>());
    std::string text = in_.ConsumeBool() ? lastSent_ : in_.ConsumeRandomLengthString(300);
    const bool whole = in_.ConsumeBool();  // the whole buffer, without a terminating zero
    text.resize(whole ? 258 : std::min<size_t>(text.size(), 257), 'x');
    std::memcpy(record + 1, text.c_str(), text.size() + (whole ? 0 : 1));
    vp_.Advance(2000);
    return 2;
  }
  int Send(int, const char *text, Micros) override {
    lastSent_ = text;
    static constexpr int kResults[] = {0, 0, -1, 1};
    return in_.PickValueInArray(kResults);
  }

 private:
  std::string lastSent_;
};

std::string ScratchPath(const char *name) {
  static char dir[] = "/tmp/veldc-fuzz-XXXXXX";
  static const bool made = mkdtemp(dir) != nullptr && std::atexit([] {
                                                        std::error_code ignored;
                                                        std::filesystem::remove_all(dir, ignored);
                                                      }) == 0;
  Check(made, "scratch directory");
  return std::string(dir) + "/" + name;
}

enum Choices : unsigned { kNoChoice = 0, kYear2000 = 1, kMeters = 2 };

// Short time-outs so one input runs in milliseconds, a tick count that wraps within the first
// minute, and the choices taken from the input in this order.
void StartRun(FuzzedDataProvider &in, VirtualPlatform &vp, unsigned choices) {
  Set232TimeOut(1);
  SetWinSockTimeOut(1);
  vp.SetTickStart(0xFFFFFFFFu - in.ConsumeIntegralInRange<uint32_t>(0, 60000));
  if ((choices & kYear2000) != 0 && in.ConsumeBool()) vp.SetUtcYear(2000);
  if ((choices & kMeters) != 0) EnableMeter(in.ConsumeBool() ? 1 : 0);
}

// A writable name in a heap block of exactly its size, so that any write past it is seen.
std::vector<char> Name(FuzzedDataProvider &in, size_t maxLength) {
  const std::string text = FuzzText(in, maxLength);
  return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

bool Ends(const char *text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

// A reply buffer of the documented size, filled so that an unterminated reply shows.
using Reply = std::vector<char>;
Reply NewReply() { return Reply(VELDC_REPLY_SIZE, 'Z'); }

void CheckResult(int r, const char *what) { Check(r == 0 || r == -1, what); }

void CheckReply(int r, const Reply &reply, const char *what) {
  Check(r == -1 || (r == 0 && Ends(reply.data(), reply.size())), what);
}

// After each call: the error state is a code of the table with its message within its buffer,
// every PC file opened is closed, no meter is left open.
void CheckState(const VirtualPlatform &vp) {
  char message[VELDC_ERROR_TEXT_SIZE];
  const int code = GetError(message);
  Check(code >= 0 && code <= 99, "error code in the table");
  Check(Ends(message, sizeof message), "error message fits");
  size_t opened = 0;
  for (Call c : {Call::FileOpenRead, Call::FileCreate})
    for (const auto &e : vp.LogOf(c)) opened += e.failed ? 0 : 1;
  Check(opened == vp.LogOf(Call::FileClose).size(), "every PC file opened is closed once");
  Check(vp.OpenMeterCount() == 0, "no meter left open");
}

void WritePcFile(FuzzedDataProvider &in, const std::string &path) {
  std::string content = in.ConsumeRandomLengthString(600);
  if (in.ConsumeBool())  // mostly text lines, so that records get through to the terminal
    for (char &c : content)
      c = uint8_t(c) % 8 < 2 ? "\r\n"[uint8_t(c) % 8] : static_cast<char>(0x20 + uint8_t(c) % 95);
  Check(static_cast<bool>(std::ofstream(path, std::ios::binary) << content), "PC file written");
}

void ListOp(FuzzedDataProvider &in) {
  std::vector<char> entries(VELDC_DIR_ENTRIES * VELDC_DIR_SLOT, 'Z');
  const bool none = in.ConsumeIntegralInRange<int>(0, 5) == 0;
  std::vector<char> name = Name(in, 10);
  const int r = ListFiles(none ? nullptr : name.data(), entries.data());
  if (r == -1) return;
  Check(r >= 0 && r <= VELDC_DIR_ENTRIES, "ListFiles count");
  for (int i = 0; i < r; ++i) Check(Ends(&entries[i * VELDC_DIR_SLOT], VELDC_DIR_SLOT), "an entry");
}

void ViewOp(FuzzedDataProvider &in) {
  const unsigned size = in.ConsumeBool() ? in.ConsumeIntegralInRange<unsigned>(0, 48)
                                         : in.ConsumeIntegralInRange<unsigned>(0, 600);
  std::vector<char> buffer(size, 'Z');
  std::vector<char> name = Name(in, 10);
  std::vector<char> none(1, 'Z');  // a null pointer for an empty buffer would be refused
  const int r = ViewFile(name.data(), size > 0 ? buffer.data() : none.data(), size);
  if (r == -1) return;
  Check(r >= 0, "ViewFile count");
  if (size > 0) Check(Ends(buffer.data(), size), "ViewFile text ends");
  Check(none[0] == 'Z', "ViewFile wrote into an empty buffer");
}

void RecvOp(FuzzedDataProvider &in) {
  std::vector<char> name = Name(in, 9);
  const int r = RecvFile(name.data(), ScratchPath("upload.txt").c_str());
  Check(r >= -1 && r <= 10000, "RecvFile count");
}

void ParamsOp(FuzzedDataProvider &in) {
  std::vector<int> selection(VELDC_PARAM_COUNT, 0);
  for (int i = in.ConsumeIntegralInRange<int>(0, 4); i > 0; --i)
    selection[in.ConsumeIntegralInRange<int>(0, 99)] = 1;
  std::vector<char> values(VELDC_PARAM_COUNT * VELDC_PARAM_SLOT, 'Z');
  const int r = GetAllParams(selection.data(), values.data());
  Check(r == 0 || (r >= -100 && r < 0), "GetAllParams result");
  // A selected value ends in its slot; a failed run leaves the block as it was, an unselected
  // slot is never written.
  for (int i = 0; i < VELDC_PARAM_COUNT; ++i) {
    const char *slot = &values[static_cast<size_t>(i) * VELDC_PARAM_SLOT];
    Check(r == 0 && selection[i] != 0 ? Ends(slot, VELDC_PARAM_SLOT) : slot[0] == 'Z', "a slot");
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
  Reply value = NewReply();
  const std::string text = FuzzText(in, 40);
  const int pick = in.ConsumeIntegralInRange<int>(0, 9);
  if (pick <= 1) CheckReply(kReads[pick].second(value.data()), value, kReads[pick].first);
  if (pick == 2)
    CheckReply(GetParameter(in.ConsumeIntegralInRange<int>(-1, 100), value.data()), value,
               "GetParameter");
  if (pick == 3)
    CheckResult(SetParameter(in.ConsumeIntegralInRange<int>(0, 99), text.c_str()), "SetParameter");
  if (pick >= 4 && pick <= 6)
    CheckResult(kSets[pick - 4].second(text.c_str()), kSets[pick - 4].first);
  if (pick == 7) CheckResult(DeleFile(Name(in, 9).data()), "DeleFile");
  if (pick < 8) return;
  std::vector<int> selection(VELDC_PARAM_COUNT, 0);
  selection[in.ConsumeIntegralInRange<int>(0, 99)] = 1;
  std::vector<char> values(VELDC_PARAM_COUNT * VELDC_PARAM_SLOT, '\0');
  std::memcpy(values.data(), text.data(), std::min<size_t>(text.size(), values.size()));
  const int r = SetAllParams(selection.data(), values.data());
  Check(r == 0 || (r >= -100 && r < 0), "SetAllParams result");
}

void ExchangeOp(FuzzedDataProvider &in) {
  Reply reply = NewReply();
  const int pick = in.ConsumeIntegralInRange<int>(0, 4);
  const std::string command = pick == 0 || pick == 2 ? FuzzText(in, 140) : std::string();
  if (pick == 0) CheckReply(SendCommand(command.c_str(), reply.data()), reply, "SendCommand");
  if (pick == 1) CheckReply(GetMsgEx(reply.data()), reply, "GetMsgEx");
  if (pick == 2) CheckResult(PostCommand(command.c_str()), "PostCommand");
  if (pick == 3) CheckReply(GetResponse(reply.data()), reply, "GetResponse");
  if (pick == 4) CheckResult(ChgTerminal(in.ConsumeIntegralInRange<int>(-1, 255)), "ChgTerminal");
}

void ModemOp(FuzzedDataProvider &in) {
  if (in.ConsumeIntegralInRange<int>(0, 2) == 0) return CheckResult(HangUp(), "HangUp");
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

// Makes one of the next few calls of an OS or driver function fail, so that clean-up paths run.
void FaultOp(FuzzedDataProvider &in, VirtualPlatform &vp) {
  static constexpr Call kCalls[] = {Call::ComWrite,        Call::ComPurge,     Call::ComClearError,
                                    Call::ComTransmitChar, Call::WsSend,       Call::WsRecv,
                                    Call::FileCreate,      Call::FileOpenRead, Call::FileRead,
                                    Call::FileWrite,       Call::FileClose,    Call::FileDelete,
                                    Call::Kov74Send,       Call::Kov74Poll,    Call::MeterCreate};
  vp.Fail(in.PickValueInArray(kCalls), in.ConsumeIntegralInRange<int>(1, 6),
          in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<int>(-12, 10060));
}

using Op = void (*)(FuzzedDataProvider &);
void RunOps(FuzzedDataProvider &in, VirtualPlatform &vp, int limit, const Op (&ops)[3]) {
  for (int i = 0; i < limit && in.remaining_bytes() > 0; ++i) {
    if (in.ConsumeIntegralInRange<int>(0, 5) == 0) FaultOp(in, vp);
    ops[in.ConsumeIntegralInRange<int>(0, 2)](in);
    CheckState(vp);
  }
}

constexpr int kSerialKinds[] = {DEV_SERIAL_DIRECT, DEV_SERIAL_NETWORK, DEV_SERIAL_LOGON};

// Commands and replies, unsolicited messages, posted commands and the modem dialogue.
void Serial(FuzzedDataProvider &in, FuzzPlatform &vp) {
  FuzzLine line(in, vp);
  StartRun(in, vp, kNoChoice);
  const int kind = in.PickValueInArray(kSerialKinds);
  Check(InitCOMM(1, kind, 9600, 0) > 0, "InitCOMM");
  ChgTerminal(kind == DEV_SERIAL_DIRECT  ? 0
              : kind == DEV_SERIAL_LOGON ? in.ConsumeIntegralInRange<int>(0, 31)
                                         : in.ConsumeIntegralInRange<int>(1, 254));
  RunOps(in, vp, 10, {ExchangeOp, ModemOp, ExchangeOp});
  Check(ExitCOMM() == 0, "ExitCOMM");
}

// Selection on each serial kind: identification, reset, log-on with a password, the calendar
// correction.
void Selection(FuzzedDataProvider &in, FuzzPlatform &vp) {
  FuzzLine line(in, vp);
  StartRun(in, vp, kYear2000);
  const int kind = in.PickValueInArray(kSerialKinds);
  Check(InitCOMM(1, kind, 9600, 0) > 0, "InitCOMM");
  if (in.ConsumeBool()) SetPassword(FuzzText(in, 7).c_str());
  for (int i = 0; i < 3 && in.remaining_bytes() > 0; ++i) {
    int address = in.ConsumeIntegralInRange<int>(-1, 255);
    if (in.ConsumeBool()) address = kind == DEV_SERIAL_DIRECT ? 0 : address % 32;
    const int r = SetTerminal(address);
    CheckResult(r, "SetTerminal result");
    CheckState(vp);
    if (r == 0) RunOps(in, vp, 2, {ExchangeOp, ExchangeOp, ExchangeOp});
  }
  Check(ExitCOMM() == 0, "ExitCOMM");
}

// The terminal services on a direct line and on the network interface.
void Services(FuzzedDataProvider &in, FuzzPlatform &vp) {
  FuzzLine line(in, vp);
  StartRun(in, vp, kMeters);
  const bool network = in.ConsumeIntegralInRange<int>(0, 3) == 0;
  Check(InitCOMM(1, network ? DEV_SERIAL_NETWORK : DEV_SERIAL_DIRECT, 9600, 0) > 0, "InitCOMM");
  Check(ChgTerminal(network ? in.ConsumeIntegralInRange<int>(1, 254) : 0) == 0, "ChgTerminal");
  RunOps(in, vp, 8, {ServiceOp, ServiceOp, ServiceOp});
  Check(ExitCOMM() == 0, "ExitCOMM");
  Check(vp.OpenMeterCount() == 0, "meters closed");
}

void AdapterOp(FuzzedDataProvider &in, VirtualPlatform &vp) {
  static const char *const kCommands[] = {"X", "%", "A192.168.0.11", "C3", "C1", "V", ""};
  const std::string command = in.ConsumeBool() ? in.PickValueInArray(kCommands) : FuzzText(in, 140);
  Reply reply = NewReply();
  const int pick = in.ConsumeIntegralInRange<int>(0, 3);
  if (pick == 0) Check(PeloReset() >= -1, "PeloReset");
  if (pick == 1) Check(SetTerminal(in.ConsumeIntegralInRange<int>(-1, 255)) >= -1, "SetTerminal");
  if (pick >= 2) {
    const int r = PeloCommand(command.c_str(), reply.data());
    // An acknowledgement instead of a reply succeeds with the buffer untouched.
    Check(r == -1 || (r == 0 && (reply == NewReply() || Ends(reply.data(), reply.size()))),
          "PeloCommand result and reply");
  }
  CheckState(vp);
}

// Connecting, adapter commands, selection, exchanges and services over the Pelo link.
void Pelo(FuzzedDataProvider &in, FuzzPlatform &vp) {
  FuzzAdapter adapter(in, vp);
  StartRun(in, vp, kYear2000 | kMeters);
  Check(InitCOMM(5000, DEV_PELO, 0, 0) == 5000, "InitCOMM");
  const int r = SetIPAddress("192.168.0.10");
  CheckResult(r, "SetIPAddress result");
  CheckState(vp);
  if (r == 0) ChgTerminal(in.ConsumeIntegralInRange<int>(0, 2));
  for (int i = 0; i < 8 && in.remaining_bytes() > 0; ++i) {
    in.ConsumeBool() ? AdapterOp(in, vp) : RunOps(in, vp, 1, {ExchangeOp, ServiceOp, ServiceOp});
  }
  ExitCOMM();
  Check(vp.OpenMeterCount() == 0, "meters closed");
}

// Records of any content through the driver: selection, exchanges, posted commands, services.
void Kov74(FuzzedDataProvider &in, FuzzPlatform &vp) {
  FuzzDriver driver(in, vp);
  StartRun(in, vp, kYear2000 | kMeters);
  static constexpr int kKinds[] = {DEV_KOV74_MODE0, DEV_KOV74_MODE1, DEV_KOV74_MODE2};
  Check(InitCOMM(1, in.PickValueInArray(kKinds), 0, 0) > 0, "InitCOMM");
  const int address = in.ConsumeIntegralInRange<int>(0, 255);
  CheckResult(in.ConsumeBool() ? SetTerminal(address) : ChgTerminal(address), "selection result");
  CheckState(vp);
  RunOps(in, vp, 8, {ExchangeOp, ServiceOp, ServiceOp});
  ExitCOMM();
}

template <void (*Run)(FuzzedDataProvider &, FuzzPlatform &)>
void Entry(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzPlatform vp;
  Run(in, vp);
}

}  // namespace
}  // namespace veldc::fuzz

using namespace veldc::fuzz;
VELDC_FUZZ_ENTRIES(Entry<Serial>, Entry<Selection>, Entry<Services>, Entry<Pelo>, Entry<Kov74>)
