// The address texts and byte orders of WinSock, shared by the POSIX and virtual WinSock
// tables so that both read and print addresses exactly as WSOCK32.DLL does.
#pragma once

#include <cstdint>

namespace veldc::platform {

// inet_addr: one to four parts, each decimal, octal (leading 0) or hex (0x); the last part
// fills the remaining bytes. Anything after a blank is ignored. The address in network order
// (as it lies in memory), or kWsInaddrNone (0xFFFFFFFF) for text it cannot read.
uint32_t WsInetAddr(const char *text);
// inet_ntoa: the dotted decimal form of an address in network order, into `out` (16 bytes).
char *WsInetNtoa(uint32_t address, char *out);
uint16_t WsHtons(uint16_t v);
uint32_t WsHtonl(uint32_t v);

}  // namespace veldc::platform
