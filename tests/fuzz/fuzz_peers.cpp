#include "fuzz_peers.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "veldc.h"

namespace veldc::fuzz {
namespace {

// Answers are due up to 2.55 s after what they answer: before, around and after time-outs.
Micros Delay(FuzzedDataProvider &in) {
  return static_cast<Micros>(in.ConsumeIntegral<uint8_t>()) * 10000;
}

std::string Le16(uint16_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

uint16_t ReadLe16(const std::string &bytes, size_t at) {
  if (bytes.size() < at + 2) return 0;
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1])
                                                                     << 8);
}

// The lines of a listing, view or upload and its end line: a count that is mostly right and a
// checksum that is right, wrong or missing.
std::string Transfer(FuzzedDataProvider &in) {
  std::string out;
  const int lines = in.ConsumeIntegralInRange<int>(0, 12);
  int32_t sum = 0;
  for (int i = 0; i < lines; ++i) {
    std::string text = in.ConsumeRandomLengthString(140);
    for (char &c : text) {
      if (c == '\r' || c == '\0') c = ' ';
    }
    for (char c : text) sum += static_cast<signed char>(c);
    out += text + "\r";
  }
  const int count = in.ConsumeBool() ? lines : in.ConsumeIntegralInRange<int>(-1, 14);
  out += "\x04" + std::to_string(count);
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      out += " RECS " + std::to_string(sum % 32768);
      break;
    case 1:
      out += " RECS " + std::to_string(in.ConsumeIntegral<int16_t>());
      break;
    default:
      break;
  }
  return out + "\r";
}

}  // namespace

std::string FuzzText(FuzzedDataProvider &in, size_t maxLength) {
  std::string text = in.ConsumeRandomLengthString(maxLength);
  if (in.ConsumeBool()) {
    for (char &c : text) c = static_cast<char>(0x20 + static_cast<uint8_t>(c) % 95);
  }
  return text;
}

void FuzzLine::FromHost(const uint8_t *data, size_t length, Micros now) {
  partial_.append(reinterpret_cast<const char *>(data), length);
  const size_t cr = partial_.find('\r');
  const bool escape = partial_.size() >= 3 && partial_.compare(partial_.size() - 3, 3, "+++") == 0;
  if (cr == std::string::npos && !escape) return;
  const std::string line = partial_.substr(0, cr);
  partial_.clear();

  if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) {
    // A line fault the next ClearCommError reports: framing with break, overrun, any mask.
    static constexpr uint32_t kMasks[] = {24, 8, 2, 1, 0x10, 0x100};
    vp_.QueueClearErrorMask(in_.ConsumeBool() ? in_.PickValueInArray(kMasks)
                                              : in_.ConsumeIntegral<uint32_t>());
  }
  const int pick = in_.ConsumeIntegralInRange<int>(0, 5);
  if (pick == 0) return;  // silence
  std::string answer = pick == 1 || pick == 3 || pick == 4 ? line + "\r" : "";
  if (pick == 2 || pick == 3) answer += in_.ConsumeRandomLengthString(300);
  if (pick == 4) answer += Transfer(in_);
  // A count, as the answer to the end of a load.
  if (pick == 5) answer = std::to_string(in_.ConsumeIntegralInRange<int>(-1, 12)) + "\r";
  out_.emplace_back(now + Delay(in_), std::move(answer));
}

void FuzzLine::ToHost(Micros now, std::string *out) {
  bool any = false;
  while (!out_.empty() && out_.front().first <= now) {
    out->append(out_.front().second);
    out_.pop_front();
    any = true;
  }
  if (!any) vp_.Advance(kLineIdleStep);
}

std::string FuzzAdapter::Build(const std::string &heard) {
  if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) return in_.ConsumeRandomLengthString(320);

  static constexpr uint16_t kTypes[] = {2, 3, 4, 5, 6, 0, 1, 7};
  const uint16_t type =
      in_.ConsumeBool() ? in_.PickValueInArray(kTypes) : in_.ConsumeIntegral<uint16_t>();
  uint16_t seq = ReadLe16(heard, 2);
  // The host's own sequence number, the next one or any.
  const int seqPick = in_.ConsumeIntegralInRange<int>(0, 2);
  if (seqPick == 1) seq = static_cast<uint16_t>(seq + 1);
  if (seqPick == 2) seq = in_.ConsumeIntegral<uint16_t>();
  const std::string heardText = heard.size() > 4 ? heard.substr(4) : std::string();
  // The host's text with its zero, any text, or the host's terminal address byte and any text.
  const int textPick = in_.ConsumeIntegralInRange<int>(0, 2);
  std::string text = textPick == 0 ? heardText : textPick == 2 ? heardText.substr(0, 1) : "";
  if (textPick != 0) text += in_.ConsumeRandomLengthString(200);
  if (in_.ConsumeBool()) {
    text.push_back('\0');
  } else {
    // Cut or padded to any length, past the 136-byte record too.
    const size_t length = in_.ConsumeIntegralInRange<size_t>(0, 300);
    text.resize(length, static_cast<char>(in_.ConsumeIntegral<uint8_t>()));
  }
  return Le16(type) + Le16(seq) + text;
}

void FuzzAdapter::FromHost(const uint8_t *data, size_t length, Micros now) {
  const std::string heard(reinterpret_cast<const char *>(data), length);
  const int count = in_.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < count; ++i) {
    const Micros at = now + Delay(in_);
    out_.emplace_back(at, Build(heard));
  }
}

bool FuzzAdapter::ToHost(Micros now, std::string *datagram) {
  for (auto it = out_.begin(); it != out_.end(); ++it) {
    if (it->first <= now) {
      *datagram = std::move(it->second);
      out_.erase(it);
      return true;
    }
  }
  vp_.Advance(kIdleStep);
  return false;
}

int FuzzDriver::Poll(int address, char *record, Micros) {
  static constexpr int kResults[] = {0, 1, 2, 2, -1, 3};
  const int r = in_.PickValueInArray(kResults);
  if (r != 2) return r;
  record[0] = static_cast<char>(in_.ConsumeBool() ? address : in_.ConsumeIntegral<uint8_t>());
  std::string text = in_.ConsumeBool() ? lastSent_ : in_.ConsumeRandomLengthString(300);
  if (in_.ConsumeBool()) {
    // The whole buffer the driver may use, without a terminating zero.
    text.resize(kRecordLimit - 1, 'x');
    std::memcpy(record + 1, text.data(), text.size());
  } else {
    if (text.size() > kRecordLimit - 2) text.resize(kRecordLimit - 2);
    std::memcpy(record + 1, text.c_str(), text.size() + 1);
  }
  vp_.Advance(kIdleStep);
  return 2;
}

int FuzzDriver::Send(int, const char *text, Micros) {
  lastSent_ = text;
  static constexpr int kResults[] = {0, 0, -1, 1};
  return in_.PickValueInArray(kResults);
}

namespace {
std::string scratchDir;  // made at the first use, removed at exit
}  // namespace

std::string ScratchPath(const char *name) {
  if (scratchDir.empty()) {
    char pattern[] = "/tmp/veldc-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    scratchDir = pattern;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratchDir, ignored);
    });
  }
  return scratchDir + "/" + name;
}

void StartRun(FuzzedDataProvider &in, VirtualPlatform &vp, unsigned choices) {
  Set232TimeOut(1);
  SetWinSockTimeOut(1);
  vp.SetTickStart(0xFFFFFFFFu - in.ConsumeIntegralInRange<uint32_t>(0, 60000));
  if ((choices & kYear2000) != 0 && in.ConsumeBool()) vp.SetUtcYear(2000);
  if ((choices & kMeters) != 0) EnableMeter(in.ConsumeBool() ? 1 : 0);
}

}  // namespace veldc::fuzz
