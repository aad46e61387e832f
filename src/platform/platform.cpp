#include "platform/platform.h"

#include <cstdio>

namespace veldc::platform {

const char *const kWinSockEntryNames[kWinSockEntryCount] = {
    "WSAStartup",      "socket",        "bind",        "ioctlsocket", "connect", "recv",   "send",
    "closesocket",     "WSACleanup",    "inet_addr",   "inet_ntoa",   "htons",   "sendto", "htonl",
    "WSAGetLastError", "gethostbyname", "gethostname",
};

namespace {
Platform *current = nullptr;
OsFailure lastFailure;
}  // namespace

void NoteOsFailure(const char *subject, int number, const char *text) {
  lastFailure.number = number;
  std::snprintf(lastFailure.subject, sizeof lastFailure.subject, "%s",
                subject != nullptr ? subject : "");
  std::snprintf(lastFailure.text, sizeof lastFailure.text, "%s", text != nullptr ? text : "");
}

OsFailure &LastOsFailure() { return lastFailure; }

Platform &Os() { return current != nullptr ? *current : NativePlatform(); }

void SetPlatform(Platform *platform) { current = platform; }

}  // namespace veldc::platform
