// The process-wide error state: one code, one dynamic message, the fixed table of texts.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace veldc {

// Codes the library sets (the full table has 0..99).
enum ErrorCode : int32_t {
  kErrNone = 0,
  kErrAlreadyInitialized = 1,
  kErrNotInitialized = 2,
  kErrWrongParameters = 3,
  kErrNoTerminal = 4,
  kErrWrongDevice = 5,
  kErrNoWinSockFunctions = 7,
  kErrWinSock = 9,
  kErrKov74DllNotFound = 10,
  kErrKov74PortNotFound = 11,
  kErrKov74Speed = 21,
  kErrOpenPort = 22,
  kErrSetupPort = 23,
  kErrGetComState = 24,
  kErrSetComState = 25,
  kErrSetComTimeouts = 26,
  kErrFlushTx = 27,
  kErrFlushRx = 28,
  kErrKov74PortId = 29,
  kErrKov74Close = 30,
  kErrClosePort = 31,
  kErrBadEndOfRecord = 35,
  kErrNoReply = 40,
  kErrWrongTerminal = 41,
  kErrCannotSend = 42,
  kErrResetIgnored = 43,
  kErrResetNotPerformed = 44,
  kErrEotIgnored = 45,
  kErrNoIdReply = 46,
  kErrCannotTalk = 47,
  kErrDriveNotAvailable = 48,
  kErrTimeIgnored = 49,
  kErrDateIgnored = 50,
  kErrConfigIgnored = 51,
  kErrDirIgnored = 52,
  kErrFilesOverflow = 53,
  kErrFilesMismatch = 54,
  kErrLoadIgnored = 55,
  kErrOpenFile = 56,
  kErrRecordTooLong = 57,
  kErrReadRecord = 58,
  kErrSendRecord = 59,
  kErrRecordsMismatch = 60,
  kErrCancelled = 61,  // an extension's code: the table leaves 61 free
  kErrSendIgnored = 62,
  kErrRecordsOverflow = 64,
  kErrDelIgnored = 65,
  kErrBadIdReply = 66,
  kErrCloseFile = 67,
  kErrBadChecksum = 68,
  kErrBadRamCard = 69,
  kErrWindows = 70,
  kErrWinSockDllNotFound = 71,
  kErrWinSockStartup = 72,
  kErrWinSockVersion = 73,
  kErrCreateSocket = 74,
  kErrBindSocket = 75,
  kErrSocketMode = 76,
  kErrSendMessage = 77,
  kErrReceiveMessage = 78,
  kErrWinSockTimeout = 79,
  kErrLogoffReply = 80,
  kErrLogonReply = 81,
  kErrDialEcho = 82,
  kErrDialReply = 83,
  kErrHangup = 84,
  kErrModemInit = 85,
  kErrModemInitReply = 86,
  kErrModemEcho = 87,
  kErrCannotReceive = 88,
  kErrConnectSocket = 89,
  kErrNoSelectedPelo = 91,
  kErrInitPacket = 92,
  kErrRecordOverflow = 93,
  kErrWriteRecord = 94,
  kErrErrorPacket = 96,
  kErrConnectionClosed = 97,
  kErrCloseWinSock = 98,
  kErrInternal = 99,
};

extern int32_t nErrorCode;
// The dynamic message: 39 characters at most and the NUL.
extern char szErrorText[40];
// The loaded WinSock's WSAGetLastError, for the numbers of its codes; null while none is.
extern int(VELDC_WSAAPI *pfnWinSockLastError)();
// Table texts, index = code; empty entries are codes never set.
extern const char *const ErrorMessages[100];

inline void SetError(int32_t code) { nErrorCode = code; }
// A cleared code takes the operating system's detail of the old failure with it.
inline void ClearError() {
  nErrorCode = kErrNone;
  platform::LastOsFailure().number = 0;
}

// Stores `code` and gives the exports' failure result: `return Fail(kErrWrongParameters);`.
inline int Fail(int32_t code) {
  nErrorCode = code;
  return -1;
}

// The host's cancel request (CancelOperation), taken at most once: true when one was pending.
bool TakeCancelRequest();
void DropCancelRequest();

// Code 70: "Windows error:", a blank and the communication error mask.
void SetWindowsError(int32_t mask);
// For codes already stored among 72..78, 89, 98: appends n (or WSAGetLastError when n is 0)
// to the code's table text; returns the number used.
int32_t SetWinSockError(int32_t n);
// Stores `code` and builds its message with n, as SetWinSockError does.
int32_t SetWinSockErrorCode(int32_t code, int32_t n);

// Keeps the pending error across a clean-up sequence, which must never change what the
// caller is about to report: neither its code nor, for a code with a number, its message.
class ErrorKeeper {
 public:
  ErrorKeeper() : saved_(nErrorCode), failure_(platform::LastOsFailure()) {
    std::memcpy(text_, szErrorText, sizeof text_);
  }
  ~ErrorKeeper() {
    nErrorCode = saved_;
    std::memcpy(szErrorText, text_, sizeof text_);
    platform::LastOsFailure() = failure_;
  }
  ErrorKeeper(const ErrorKeeper &) = delete;
  ErrorKeeper &operator=(const ErrorKeeper &) = delete;

 private:
  int32_t saved_;
  platform::OsFailure failure_;
  char text_[sizeof szErrorText];
};

}  // namespace veldc
