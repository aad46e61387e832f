#include "trace_log.h"

#include <cstdint>
#include <ctime>

#include "veldc.h"

namespace veldc::cli {
namespace {

const char *KindName(int kind) {
  switch (kind) {
    case VELDC_TRACE_PORT_OUT:
    case VELDC_TRACE_PORT_IN:
      return "port";
    case VELDC_TRACE_UDP_OUT:
    case VELDC_TRACE_UDP_IN:
      return "udp";
    case VELDC_TRACE_DRIVER_OUT:
    case VELDC_TRACE_DRIVER_IN:
      return "kov74";
    default:
      return "?";
  }
}

bool Outgoing(int kind) {
  return kind == VELDC_TRACE_PORT_OUT || kind == VELDC_TRACE_UDP_OUT ||
         kind == VELDC_TRACE_DRIVER_OUT;
}

const char *PacketName(unsigned type) {
  switch (type) {
    case 2:
      return "INIT";
    case 3:
      return "DATA";
    case 4:
      return "ACK";
    case 5:
      return "ERROR";
    case 6:
      return "COMMAND";
    default:
      return nullptr;
  }
}

// A datagram: 16-bit type and sequence number (little-endian) and a zero-terminated text.
std::string DescribeDatagram(const unsigned char *data, int length) {
  if (length < 4) return "short " + EscapeBytes(data, length);
  unsigned type = data[0] | (data[1] << 8);
  unsigned seq = data[2] | (data[3] << 8);
  const char *name = PacketName(type);
  std::string out = name ? name : "type " + std::to_string(type);
  out += " #" + std::to_string(seq);
  int textLength = 0;
  while (4 + textLength < length && data[4 + textLength] != 0) ++textLength;
  if (textLength > 0) out += " " + EscapeBytes(data + 4, textLength);
  return out;
}

void VELDC_API OnTrace(void *context, int kind, const unsigned char *data, int length) {
  static_cast<TraceLog *>(context)->Add(kind, data, length);
}

}  // namespace

std::string EscapeBytes(const unsigned char *data, int length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < length; ++i) {
    unsigned char c = data[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string HexBytes(const unsigned char *data, int length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < length; ++i) {
    if (i > 0) out += ' ';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

std::string FormatRecord(int kind, const unsigned char *data, int length, bool hex) {
  std::string out = KindName(kind);
  out += Outgoing(kind) ? " -> " : " <- ";
  if (kind == VELDC_TRACE_UDP_OUT || kind == VELDC_TRACE_UDP_IN) {
    out += DescribeDatagram(data, length);
  } else if ((kind == VELDC_TRACE_DRIVER_OUT || kind == VELDC_TRACE_DRIVER_IN) && length > 0) {
    // The driver's record starts with the terminal's address byte.
    out += "@" + std::to_string(data[0]) + " " + EscapeBytes(data + 1, length - 1);
  } else {
    out += EscapeBytes(data, length);
  }
  if (hex) out += "\n    hex " + HexBytes(data, length);
  return out;
}

TraceLog::TraceLog(std::FILE *out, int level, Clock::time_point (*now)())
    : out_(out), level_(level), now_(now) {}

TraceLog::~TraceLog() {
  Detach();
  Flush();
}

void TraceLog::Attach() {
  SetTraceCallback(OnTrace, this);
  attached_ = true;
}

void TraceLog::Detach() {
  if (!attached_) return;
  SetTraceCallback(nullptr, nullptr);
  attached_ = false;
}

std::string TraceLog::Stamp() {
  using std::chrono::system_clock;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  // With the date: a trace kept in a file outlives the day it was written.
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms.count()));
  return text;
}

void TraceLog::Add(int kind, const unsigned char *data, int length) {
  if (data == nullptr || length <= 0) return;
  if (kind == VELDC_TRACE_PORT_IN) Hear(data, length);
  if (out_ == nullptr) return;
  bool serial = kind == VELDC_TRACE_PORT_OUT || kind == VELDC_TRACE_PORT_IN;
  if (!serial) {
    Flush();
    Write(kind, data, length, Stamp());
    return;
  }
  Clock::time_point now = now_();
  if (!pending_.empty() && (pendingKind_ != kind || now - lastAdded_ >= kGap)) Flush();
  lastAdded_ = now;
  if (pending_.empty()) pendingStamp_ = Stamp();
  pendingKind_ = kind;
  pending_.append(reinterpret_cast<const char *>(data), static_cast<size_t>(length));
  // A carriage return ends a line on every serial link.
  if (pending_.back() == '\r') Flush();
}

void TraceLog::Hear(const unsigned char *data, int length) {
  for (int i = 0; i < length; ++i) {
    if (data[i] != '\r' && data[i] != '\n') {
      heard_ += static_cast<char>(data[i]);
    } else if (!heard_.empty()) {
      lastLine_ = heard_;
      heard_.clear();
    }
  }
}

void TraceLog::Flush() {
  if (pending_.empty()) return;
  Write(pendingKind_, reinterpret_cast<const unsigned char *>(pending_.data()),
        static_cast<int>(pending_.size()), pendingStamp_);
  pending_.clear();
}

void TraceLog::Write(int kind, const unsigned char *data, int length, const std::string &stamp) {
  std::string record = FormatRecord(kind, data, length, level_ >= 2);
  std::fprintf(out_, "%s %s\n", stamp.c_str(), record.c_str());
  std::fflush(out_);
}

}  // namespace veldc::cli
