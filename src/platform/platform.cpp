#include "platform/platform.h"

namespace veldc::platform {

const char *const kWinSockEntryNames[kWinSockEntryCount] = {
    "WSAStartup",      "socket",        "bind",        "ioctlsocket", "connect", "recv",   "send",
    "closesocket",     "WSACleanup",    "inet_addr",   "inet_ntoa",   "htons",   "sendto", "htonl",
    "WSAGetLastError", "gethostbyname", "gethostname",
};

namespace {
Platform *current = nullptr;
}

Platform &Os() { return current != nullptr ? *current : NativePlatform(); }

void SetPlatform(Platform *platform) { current = platform; }

}  // namespace veldc::platform
