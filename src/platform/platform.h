// The operating-system seam. Everything the library asks of the OS goes through Os(): one
// operation per OS call whose failure the library reports with a code of its own. Backends:
// win32/ (the real Windows calls), posix/ (termios, BSD sockets, dlopen) and virtual/ (tests,
// on a virtual clock). The backend is chosen at load; tests swap it with SetPlatform.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define VELDC_STDCALL __stdcall
#else
#define VELDC_STDCALL
#endif

namespace veldc::platform {

// Ports, files, modules and windows are opaque values; kNoHandle (0) and kInvalidHandle (-1)
// are the two "nothing" values the Windows calls use.
using Handle = intptr_t;
constexpr Handle kNoHandle = 0;
constexpr Handle kInvalidHandle = -1;

// The device control block fields the library sets (named as in the Windows DCB).
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kOddParity = 1;
constexpr uint8_t kEvenParity = 2;
constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kDtrControlEnable = 1;
constexpr uint8_t kRtsControlEnable = 1;

struct ComState {
  uint32_t BaudRate = 0;
  bool fBinary = false;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  uint8_t fDtrControl = 0;
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  uint8_t fRtsControl = 0;
  bool fAbortOnError = false;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = kNoParity;
  uint8_t StopBits = kOneStopBit;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
};

struct ComTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// ClearCommError's CE_IOE: the device failed (a USB adapter pulled, a pty's far side closed).
constexpr uint32_t kCommIoError = 0x0400;

constexpr uint32_t kPurgeTxClear = 0x0004;
constexpr uint32_t kPurgeRxClear = 0x0008;

// ---- WinSock 1.1 as the library sees it (the Windows ABI, also on POSIX) ----------------
#if defined(_WIN32)
#define VELDC_WSAAPI __stdcall
#else
#define VELDC_WSAAPI
#endif

using WsSocket = uintptr_t;
constexpr WsSocket kWsInvalidSocket = ~static_cast<WsSocket>(0);
constexpr int kWsSocketError = -1;
constexpr uint32_t kWsInaddrNone = 0xFFFFFFFFu;
constexpr int32_t kWsFionbio = static_cast<int32_t>(0x8004667Eu);
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaEMsgSize = 10040;
constexpr int kWsaENotSock = 10038;

// sockaddr_in: family, port and address in network order, 8 bytes of zero; 16 bytes.
struct WsSockAddrIn {
  uint16_t sin_family;
  uint16_t sin_port;
  uint32_t sin_addr;
  uint8_t sin_zero[8];
};
static_assert(sizeof(WsSockAddrIn) == 16, "sockaddr_in is 16 bytes");

// hostent as WinSock lays it out.
struct WsHostEnt {
  char *h_name;
  char **h_aliases;
  int16_t h_addrtype;
  int16_t h_length;
  char **h_addr_list;
};

// WSADATA is only read for its first field; the rest is room for the real structure.
struct WsData {
  uint16_t wVersion;
  uint16_t wHighVersion;
  unsigned char rest[600];
};

// The 17 entry points, in the order they are loaded by name.
struct WinSockTable {
  int(VELDC_WSAAPI *WSAStartup)(uint16_t version, WsData *data);
  WsSocket(VELDC_WSAAPI *socket)(int af, int type, int protocol);
  int(VELDC_WSAAPI *bind)(WsSocket s, const WsSockAddrIn *name, int namelen);
  int(VELDC_WSAAPI *ioctlsocket)(WsSocket s, int32_t cmd, uint32_t *argp);
  int(VELDC_WSAAPI *connect)(WsSocket s, const WsSockAddrIn *name, int namelen);
  int(VELDC_WSAAPI *recv)(WsSocket s, char *buf, int len, int flags);
  int(VELDC_WSAAPI *send)(WsSocket s, const char *buf, int len, int flags);
  int(VELDC_WSAAPI *closesocket)(WsSocket s);
  int(VELDC_WSAAPI *WSACleanup)();
  uint32_t(VELDC_WSAAPI *inet_addr)(const char *cp);
  char *(VELDC_WSAAPI *inet_ntoa)(uint32_t in);  // struct in_addr by value: 4 bytes
  uint16_t(VELDC_WSAAPI *htons)(uint16_t v);
  int(VELDC_WSAAPI *sendto)(WsSocket s, const char *buf, int len, int flags, const WsSockAddrIn *to,
                            int tolen);
  uint32_t(VELDC_WSAAPI *htonl)(uint32_t v);
  int(VELDC_WSAAPI *WSAGetLastError)();
  WsHostEnt *(VELDC_WSAAPI *gethostbyname)(const char *name);
  int(VELDC_WSAAPI *gethostname)(char *name, int namelen);
};
constexpr int kWinSockEntryCount = 17;
static_assert(sizeof(WinSockTable) == kWinSockEntryCount * sizeof(void *), "17 entries");
extern const char *const kWinSockEntryNames[kWinSockEntryCount];

// ---- The Kov74 terminal-network driver ------------------------------------------------------
using Kov74OpenFn = int(VELDC_STDCALL *)(int port, int mode, int constant254, int option);
using Kov74SetSpeedFn = int(VELDC_STDCALL *)(int speedCode);
using Kov74CloseFn = int(VELDC_STDCALL *)();
using Kov74PollFn = int(VELDC_STDCALL *)(int address, char *record);
using Kov74SendFn = int(VELDC_STDCALL *)(int address, const char *text);

// ---- The seam ------------------------------------------------------------------------------
class Platform {
 public:
  virtual ~Platform() = default;

  // COM port: CreateFileA, SetupComm, Get/SetCommState, SetCommTimeouts, PurgeComm,
  // ClearCommError, WriteFile, ReadFile, TransmitCommChar, CloseHandle.
  virtual Handle ComOpen(const char *name) = 0;  // kInvalidHandle on failure
  virtual bool ComSetupQueues(Handle port, uint32_t inSize, uint32_t outSize) = 0;
  virtual bool ComGetState(Handle port, ComState *state) = 0;
  virtual bool ComSetState(Handle port, const ComState &state) = 0;
  virtual bool ComSetTimeouts(Handle port, const ComTimeouts &timeouts) = 0;
  virtual bool ComPurge(Handle port, uint32_t flags) = 0;
  virtual bool ComClearError(Handle port, uint32_t *errorMask) = 0;
  virtual bool ComWrite(Handle port, const void *data, uint32_t length, uint32_t *written) = 0;
  // Never blocks: returns the number of bytes read (0 when none has arrived or on failure).
  virtual uint32_t ComRead(Handle port, void *data, uint32_t length) = 0;
  virtual bool ComTransmitChar(Handle port, char c) = 0;
  virtual bool ComClose(Handle port) = 0;
  // The conventional name of COM port 1..4 ("COM1" or "/dev/ttyS0").
  virtual const char *DefaultPortName(int port) = 0;

  // Time: QueryPerformanceFrequency/Counter, GetTickCount, Sleep, GetSystemTime's year.
  virtual int64_t PerfFrequency() = 0;
  virtual int64_t PerfCounter() = 0;
  virtual uint32_t TickCount() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
  virtual int UtcYear() = 0;

  // Waiting. PauseUntil returns once PerfCounter() has reached `deadline`: Windows spins on
  // the counter, POSIX sleeps to just before it and spins the rest. The input waits return
  // when the port (socket) has something to read or has failed, or after at most `limitMs`;
  // false means the backend cannot wait on it (Windows), and the caller pauses its own step.
  virtual void PauseUntil(int64_t deadline) = 0;
  virtual bool ComWaitInput(Handle port, uint32_t limitMs) = 0;
  virtual bool SocketWaitInput(WsSocket socket, uint32_t limitMs) = 0;
  // Ends an input wait in progress early (the host's cancel request); safe in a signal handler.
  virtual void WakeWaits() = 0;

  // Modules: SearchPathA (presence only), LoadLibraryA, GetProcAddress, FreeLibrary,
  // GetModuleHandleA. "WSOCK32.DLL" and "KOV74C.DLL" are the names the library asks for;
  // a backend maps them to what its system has.
  virtual bool ModuleOnSearchPath(const char *name) = 0;
  virtual Handle ModuleLoad(const char *name) = 0;  // kNoHandle on failure
  virtual void *ModuleSymbol(Handle module, const char *name) = 0;
  // The driver's entry points: by ordinal on Windows, by name elsewhere.
  virtual void *ModuleEntry(Handle module, int ordinal, const char *name) = 0;
  virtual bool ModuleFree(Handle module) = 0;
  virtual Handle SelfModule() = 0;  // "VELDC.DLL"
  // GetFileVersionInfoA + VerQueryValueA(root): the 64-bit file version as two halves.
  virtual bool FileVersion(const char *file, uint32_t *versionMs, uint32_t *versionLs) = 0;

  // PC files: CreateFileA (read existing, not shared / create or truncate for writing),
  // ReadFile, WriteFile, GetFileSize, CloseHandle, DeleteFileA.
  virtual Handle FileOpenRead(const char *path) = 0;  // kInvalidHandle on failure
  virtual Handle FileCreate(const char *path) = 0;    // kInvalidHandle on failure
  virtual bool FileRead(Handle file, void *data, uint32_t length, uint32_t *got) = 0;
  virtual bool FileWrite(Handle file, const void *data, uint32_t length) = 0;
  virtual uint32_t FileSize(Handle file) = 0;
  virtual bool FileClose(Handle file) = 0;
  virtual bool FileDelete(const char *path) = 0;

  // Meter windows: CreateDialogParamA from the library's template with its meter procedure,
  // ShowWindow, SetDlgItemTextA, SetDlgItemInt, SendMessageA(1234), DestroyWindow.
  // Without a window system these do nothing and MeterCreate returns kNoHandle.
  virtual Handle MeterCreate(Handle module, int templateId) = 0;
  virtual void MeterShow(Handle window) = 0;
  virtual void MeterSetItemText(Handle window, int item, const char *text) = 0;
  virtual void MeterSetItemInt(Handle window, int item, int value) = 0;
  virtual void MeterSendProgress(Handle window, uint32_t wParam, int32_t lParam) = 0;
  virtual void MeterDestroy(Handle window) = 0;
};

// The operating system's own error behind the last failed call and what it concerned (a
// device, file or socket address). Backends note it where a call fails for a reason the
// host's user can act on; the library hands it out with GetErrorDetail.
struct OsFailure {
  int number = 0;  // errno, or GetLastError on Windows; 0: nothing noted
  char subject[256] = "";
  char text[128] = "";
};
void NoteOsFailure(const char *subject, int number, const char *text);
OsFailure &LastOsFailure();

// The backend in use. Starts as the native one.
Platform &Os();
// Tests install a backend of their own; null puts the native one back.
void SetPlatform(Platform *platform);
// The backend of the system the library was built for.
Platform &NativePlatform();

}  // namespace veldc::platform
