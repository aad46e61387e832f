// WSOCK32.DLL on POSIX: BSD sockets behind WinSock's entry points, calling conventions and
// error numbers.
#pragma once

#include "platform/platform.h"

namespace veldc::platform::posix {

// The entry point of that name (one of kWinSockEntryNames), or null.
void *WinSockSymbol(const char *name);
// The WinSock error number for an errno value.
int WinSockErrorFor(int errnoValue);

}  // namespace veldc::platform::posix
