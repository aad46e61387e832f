#include "platform/winsock_text.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace veldc::platform {

namespace {

// One number in C notation; false on no digits, a bad digit or a value past 32 bits.
bool ReadPart(const char **p, uint32_t *value) {
  const char *s = *p;
  unsigned base = 10;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s += 2;
  } else if (s[0] == '0') {
    base = 8;
  }
  uint64_t v = 0;
  const char *first = s;
  for (;; ++s) {
    unsigned digit;
    const char c = *s;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) return false;
    v = v * base + digit;
    if (v > 0xFFFFFFFFull) return false;
  }
  // "0x" alone has no digits; "0" alone is octal zero.
  if (s == first && base != 8) return false;
  *value = static_cast<uint32_t>(v);
  *p = s;
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

uint32_t WsInetAddr(const char *text) {
  if (text == nullptr) return kWsInaddrNone;
  uint32_t parts[4];
  int count = 0;
  const char *p = text;
  for (;;) {
    if (!ReadPart(&p, &parts[count])) return kWsInaddrNone;
    ++count;
    if (*p != '.') break;
    if (count == 4) return kWsInaddrNone;
    ++p;
  }
  if (*p != '\0' && !IsBlank(*p)) return kWsInaddrNone;
  uint32_t host;
  switch (count) {
    case 1:
      host = parts[0];
      break;
    case 2:
      if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return kWsInaddrNone;
      host = parts[0] << 24 | parts[1];
      break;
    case 3:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return kWsInaddrNone;
      host = parts[0] << 24 | parts[1] << 16 | parts[2];
      break;
    default:
      for (int i = 0; i < 4; ++i) {
        if (parts[i] > 0xFF) return kWsInaddrNone;
      }
      host = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
      break;
  }
  return WsHtonl(host);
}

char *WsInetNtoa(uint32_t address, char *out) {
  unsigned char b[4];
  std::memcpy(b, &address, 4);
  std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return out;
}

uint16_t WsHtons(uint16_t v) {
  const unsigned char b[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
  uint16_t r;
  std::memcpy(&r, b, 2);
  return r;
}

uint32_t WsHtonl(uint32_t v) {
  const unsigned char b[4] = {static_cast<unsigned char>(v >> 24),
                              static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
  uint32_t r;
  std::memcpy(&r, b, 4);
  return r;
}

}  // namespace veldc::platform
