#include "core/errors.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "veldc.h"

namespace veldc {

int32_t nErrorCode = kErrNone;
char szErrorText[40] = "";
int(VELDC_WSAAPI *pfnWinSockLastError)() = nullptr;

const char *const ErrorMessages[100] = {
    "",
    "Device already initialized",
    "Device not initialized",
    "Wrong parameters",
    "No terminal selected",
    "Wrong communication device",
    "Pelo device not initialized",
    "No required WinSocket functions",
    "The Network subsystem has failed",
    "Winsocket error",
    "KOV74 dll not found",  // 10
    "KOV74 com port not found",
    "Wrong KOV74 parameters",
    "KOV74 com port not available",
    "KOV74 already initialized",
    "Bad KOV74 timeout",
    "Unable to set KOV74 port state",
    "Unable to set KOV74 port touts",
    "Unable to set KOV74 port mask",
    "KOV74 OS not supported",
    "Unable to setup KOV74 port",  // 20
    "Wrong KOV74 speed",
    "Unable to open RS232 com port",
    "Unable to setup RS232 com port",
    "Unable to get com state",
    "Unable to set com state",
    "Unable to set com timeouts",
    "Unable to flush transm. queue",
    "Unable to flush receive queue",
    "Bad KOV74 port ID",
    "Unable to close KOV74 port",  // 30
    "Unable to close RS232 port",
    "Author. Answer Host not found",
    "WSA in Progress",
    "WSA fault",
    "Bad RS232 end of record",
    "",
    "",
    "",
    "",
    "No reply from terminal",  // 40
    "Reply from wrong terminal",
    "Cannot send a message",
    "Reset command ignored",
    "Reset not performed",
    "EOT command ignored",
    "No reply to ID request",
    "Cannot talk with terminal",
    "Drive not available",
    "Time command ignored",
    "Date command ignored",  // 50
    "Configuration command ignored",
    "Dir command ignored",
    "Files counter overflow",
    "Files number does not match",
    "Load command ignored",
    "Not able to open file",
    "Record too long",
    "Error reading record",
    "Error sending record",
    "Records number does not match",  // 60
    "Operation cancelled",
    "Send command ignored",
    "",
    "Records number overflow",
    "Del command ignored",
    "Bad reply to ID request",
    "Not able to close file",
    "Bad file checksum",
    "Bad RAM-Card format",
    "Windows error:",  // 70
    "WINSOCK dll not found",
    "Error in WinSocket startup: ",
    "Error in WinSocket version: ",
    "Error creating socket: ",
    "Error binding socket: ",
    "Error setting socket mode: ",
    "Error sending message: ",
    "Error receving message: ",
    "WinSocket timeout expired",
    "Bad reply to LOGOFF",  // 80
    "Bad reply to LOGON",
    "Bad echo to dial command",
    "Bad reply to dial command",
    "Not able to hangup",
    "Not able to initialize modem",
    "Bad modem initialization reply",
    "Bad modem echo",
    "Cannot receive a message",
    "Error connecting socket: ",
    "",  // 90
    "No selected Pelo",
    "Init packet received",
    "Record buffer overflow",
    "Error writing record",
    "",
    "Error packet received",
    "WinSocket connection closed",
    "Error closing WinSocket: ",
    "Internal error",
};

namespace {

// Set from a signal handler or another thread, so lock-free and touched by nothing else.
std::atomic<int> cancelRequest{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may set it");

bool IsDynamic(int32_t code) {
  return code == 70 || (code >= 72 && code <= 78) || code == 89 || code == 98;
}

}  // namespace

void SetWindowsError(int32_t mask) {
  std::snprintf(szErrorText, sizeof szErrorText, "Windows error: %d", static_cast<int>(mask));
  nErrorCode = kErrWindows;
}

int32_t SetWinSockError(int32_t n) {
  if (n == 0 && pfnWinSockLastError != nullptr) {
    n = pfnWinSockLastError();
  }
  const char *base =
      (nErrorCode >= 0 && nErrorCode < 100) ? ErrorMessages[nErrorCode] : ErrorMessages[99];
  std::snprintf(szErrorText, sizeof szErrorText, "%s%d", base, static_cast<int>(n));
  return n;
}

bool TakeCancelRequest() { return cancelRequest.exchange(0) != 0; }

void DropCancelRequest() { cancelRequest.store(0); }

int32_t SetWinSockErrorCode(int32_t code, int32_t n) {
  nErrorCode = code;
  return SetWinSockError(n);
}

}  // namespace veldc

using namespace veldc;

extern "C" int VELDC_API GetError(char *message) {
  if (message == nullptr) {
    nErrorCode = kErrWrongParameters;
    return -1;
  }
  const int32_t code = nErrorCode;
  if (code == kErrNone) {
    std::strcpy(message, "None");
  } else if (IsDynamic(code)) {
    std::strcpy(message, szErrorText);
  } else if (code > 0 && code < 100) {
    std::strcpy(message, ErrorMessages[code]);
  } else {
    message[0] = '\0';  // only a bug could store such a code; give no stray text
  }
  return nErrorCode;
}

extern "C" int VELDC_API CancelOperation(void) {
  cancelRequest.store(1);
  platform::Os().WakeWaits();
  return 0;
}

extern "C" int VELDC_API GetErrorDetail(char *text, int size) {
  if (text == nullptr || size < 1) return -1;
  const platform::OsFailure &failure = platform::LastOsFailure();
  if (nErrorCode == kErrNone || failure.number == 0) {
    text[0] = '\0';
    return 0;
  }
  std::snprintf(text, static_cast<size_t>(size), "%s%s%s", failure.subject,
                failure.subject[0] != '\0' ? ": " : "", failure.text);
  return failure.number;
}
