// The native backend on Windows: each operation is the one Windows call it is named after.
#include <windows.h>

#include <cstring>

#include "platform/meter_ui.h"
#include "platform/platform.h"
#include "platform/win32/meter_dialogs.h"

namespace veldc::platform {

namespace {

HANDLE H(Handle h) { return reinterpret_cast<HANDLE>(h); }

// Notes GetLastError and the system's text for it against what a call concerned.
Handle NoteFailure(const char *subject) {
  const DWORD error = GetLastError();
  char text[128] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 text, sizeof text, nullptr);
  // The system's texts end in a line break.
  for (size_t n = std::strlen(text); n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n');) {
    text[--n] = '\0';
  }
  NoteOsFailure(subject, static_cast<int>(error), text);
  return kInvalidHandle;
}
Handle FromHandle(HANDLE h) { return reinterpret_cast<Handle>(h); }

// The ANSI resource and ordinal "names" are small integers in a pointer.
LPCSTR IntName(int id) {
  return reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(id)));
}

void ToDcb(const ComState &s, DCB *dcb) {
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = s.BaudRate;
  dcb->fBinary = s.fBinary;
  dcb->fParity = s.fParity;
  dcb->fOutxCtsFlow = s.fOutxCtsFlow;
  dcb->fOutxDsrFlow = s.fOutxDsrFlow;
  dcb->fDtrControl = s.fDtrControl;
  dcb->fDsrSensitivity = s.fDsrSensitivity;
  dcb->fTXContinueOnXoff = s.fTXContinueOnXoff;
  dcb->fOutX = s.fOutX;
  dcb->fInX = s.fInX;
  dcb->fErrorChar = s.fErrorChar;
  dcb->fNull = s.fNull;
  dcb->fRtsControl = s.fRtsControl;
  dcb->fAbortOnError = s.fAbortOnError;
  dcb->XonLim = s.XonLim;
  dcb->XoffLim = s.XoffLim;
  dcb->ByteSize = s.ByteSize;
  dcb->Parity = s.Parity;
  dcb->StopBits = s.StopBits;
  dcb->XonChar = s.XonChar;
  dcb->XoffChar = s.XoffChar;
  dcb->ErrorChar = s.ErrorChar;
  dcb->EofChar = s.EofChar;
  dcb->EvtChar = s.EvtChar;
}

void FromDcb(const DCB &dcb, ComState *s) {
  s->BaudRate = dcb.BaudRate;
  s->fBinary = dcb.fBinary != 0;
  s->fParity = dcb.fParity != 0;
  s->fOutxCtsFlow = dcb.fOutxCtsFlow != 0;
  s->fOutxDsrFlow = dcb.fOutxDsrFlow != 0;
  s->fDtrControl = static_cast<uint8_t>(dcb.fDtrControl);
  s->fDsrSensitivity = dcb.fDsrSensitivity != 0;
  s->fTXContinueOnXoff = dcb.fTXContinueOnXoff != 0;
  s->fOutX = dcb.fOutX != 0;
  s->fInX = dcb.fInX != 0;
  s->fErrorChar = dcb.fErrorChar != 0;
  s->fNull = dcb.fNull != 0;
  s->fRtsControl = static_cast<uint8_t>(dcb.fRtsControl);
  s->fAbortOnError = dcb.fAbortOnError != 0;
  s->XonLim = dcb.XonLim;
  s->XoffLim = dcb.XoffLim;
  s->ByteSize = dcb.ByteSize;
  s->Parity = dcb.Parity;
  s->StopBits = dcb.StopBits;
  s->XonChar = dcb.XonChar;
  s->XoffChar = dcb.XoffChar;
  s->ErrorChar = dcb.ErrorChar;
  s->EofChar = dcb.EofChar;
  s->EvtChar = dcb.EvtChar;
}

// Version resources are read into a buffer of this fixed size.
constexpr DWORD kVersionInfoSize = 2024;

class Win32Platform : public Platform {
 public:
  // ---- COM port ----
  Handle ComOpen(const char *name) override {
    if (name == nullptr) return kInvalidHandle;
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? NoteFailure(name) : FromHandle(h);
  }
  bool ComSetupQueues(Handle port, uint32_t inSize, uint32_t outSize) override {
    return SetupComm(H(port), inSize, outSize) != FALSE;
  }
  bool ComGetState(Handle port, ComState *state) override {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(H(port), &dcb)) return false;
    FromDcb(dcb, state);
    return true;
  }
  bool ComSetState(Handle port, const ComState &state) override {
    // Start from the port's own block so that fields the library does not set keep their
    // values.
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(H(port), &dcb);
    ToDcb(state, &dcb);
    return SetCommState(H(port), &dcb) != FALSE;
  }
  bool ComSetTimeouts(Handle port, const ComTimeouts &t) override {
    COMMTIMEOUTS ct;
    ct.ReadIntervalTimeout = t.ReadIntervalTimeout;
    ct.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    ct.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    ct.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    ct.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return SetCommTimeouts(H(port), &ct) != FALSE;
  }
  bool ComPurge(Handle port, uint32_t flags) override { return PurgeComm(H(port), flags) != FALSE; }
  bool ComClearError(Handle port, uint32_t *errorMask) override {
    DWORD mask = 0;
    COMSTAT stat;
    const bool ok = ClearCommError(H(port), &mask, &stat) != FALSE;
    if (errorMask != nullptr) *errorMask = ok ? mask : 0;
    return ok;
  }
  bool ComWrite(Handle port, const void *data, uint32_t length, uint32_t *written) override {
    DWORD done = 0;
    const bool ok = WriteFile(H(port), data, length, &done, nullptr) != FALSE;
    if (written != nullptr) *written = done;
    // A write cut short by the port's write time-out still "succeeds"; the terminal lacks
    // bytes all the same.
    return ok && done == length;
  }
  uint32_t ComRead(Handle port, void *data, uint32_t length) override {
    DWORD got = 0;
    if (!ReadFile(H(port), data, length, &got, nullptr)) return 0;
    return got;
  }
  bool ComTransmitChar(Handle port, char c) override {
    return TransmitCommChar(H(port), c) != FALSE;
  }
  bool ComClose(Handle port) override { return CloseHandle(H(port)) != FALSE; }
  const char *DefaultPortName(int port) override {
    static const char *const kNames[] = {"COM1", "COM2", "COM3", "COM4"};
    return port >= 1 && port <= 4 ? kNames[port - 1] : nullptr;
  }

  // ---- Time ----
  int64_t PerfFrequency() override {
    LARGE_INTEGER f;
    return QueryPerformanceFrequency(&f) ? f.QuadPart : 0;
  }
  int64_t PerfCounter() override {
    LARGE_INTEGER c;
    return QueryPerformanceCounter(&c) ? c.QuadPart : 0;
  }
  uint32_t TickCount() override { return GetTickCount(); }
  void SleepMs(uint32_t ms) override { Sleep(ms); }
  // Hosts were built around this timing: pauses spin, readers poll with their own pauses.
  void PauseUntil(int64_t deadline) override {
    while (PerfCounter() < deadline) {
    }
  }
  bool ComWaitInput(Handle, uint32_t) override { return false; }
  bool SocketWaitInput(WsSocket, uint32_t) override { return false; }
  void WakeWaits() override {}  // the readers look at the request after every read
  int UtcYear() override {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return now.wYear;
  }

  // ---- Modules ----
  bool ModuleOnSearchPath(const char *name) override {
    // Asked with no buffer, SearchPathA returns the size it would need: non-zero when found.
    return name != nullptr && SearchPathA(nullptr, name, nullptr, 1, nullptr, nullptr) != 0;
  }
  Handle ModuleLoad(const char *name) override {
    if (name == nullptr) return kNoHandle;
    return FromHandle(LoadLibraryA(name));
  }
  void *ModuleSymbol(Handle module, const char *name) override {
    if (module == kNoHandle || name == nullptr) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(Module(module), name));
  }
  void *ModuleEntry(Handle module, int ordinal, const char * /*name*/) override {
    if (module == kNoHandle) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(Module(module), IntName(ordinal)));
  }
  bool ModuleFree(Handle module) override {
    return module != kNoHandle && FreeLibrary(Module(module)) != FALSE;
  }
  Handle SelfModule() override { return FromHandle(GetModuleHandleA("VELDC.DLL")); }
  bool FileVersion(const char *file, uint32_t *versionMs, uint32_t *versionLs) override {
    static char block[kVersionInfoSize];
    if (file == nullptr) return false;
    std::memset(block, 0, sizeof block);
    if (!GetFileVersionInfoA(file, 0, sizeof block, block)) return false;
    void *value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block, "\\", &value, &length) || value == nullptr) return false;
    // The fixed part must lie whole inside what was read, and be what it claims to be.
    const char *at = static_cast<const char *>(value);
    if (length < sizeof(VS_FIXEDFILEINFO) || at < block ||
        at + sizeof(VS_FIXEDFILEINFO) > block + sizeof block) {
      return false;
    }
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, at, sizeof info);
    if (info.dwSignature != 0xFEEF04BDu) return false;
    *versionMs = info.dwFileVersionMS;
    *versionLs = info.dwFileVersionLS;
    return true;
  }

  // ---- PC files ----
  // Only files on a disk: a pipe, the console or a port (NUL, CON, COM1, \\.\pipe\...) opens
  // as well, and reading one may wait for ever while the terminal holds an open load.
  static Handle DiskFile(const char *path, HANDLE h) {
    if (h == INVALID_HANDLE_VALUE) return NoteFailure(path);
    if (GetFileType(h) != FILE_TYPE_DISK) {
      CloseHandle(h);
      NoteOsFailure(path, ERROR_INVALID_FUNCTION, "not a file on a disk");
      return kInvalidHandle;
    }
    return FromHandle(h);
  }
  Handle FileOpenRead(const char *path) override {
    if (path == nullptr) return kInvalidHandle;
    HANDLE h =
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return DiskFile(path, h);
  }
  Handle FileCreate(const char *path) override {
    if (path == nullptr) return kInvalidHandle;
    HANDLE h =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return DiskFile(path, h);
  }
  bool FileRead(Handle file, void *data, uint32_t length, uint32_t *got) override {
    DWORD n = 0;
    const bool ok = ReadFile(H(file), data, length, &n, nullptr) != FALSE;
    if (got != nullptr) *got = ok ? n : 0;
    return ok;
  }
  bool FileWrite(Handle file, const void *data, uint32_t length) override {
    DWORD n = 0;
    return WriteFile(H(file), data, length, &n, nullptr) != FALSE && n == length;
  }
  uint32_t FileSize(Handle file) override { return GetFileSize(H(file), nullptr); }
  bool FileClose(Handle file) override { return CloseHandle(H(file)) != FALSE; }
  bool FileDelete(const char *path) override {
    return path != nullptr && DeleteFileA(path) != FALSE;
  }

  // ---- Meter windows ----
  Handle MeterCreate(Handle module, int templateId) override {
    DLGPROC proc = nullptr;
    if (templateId == meter::kTransferTemplate) proc = win32::TransferMeterProc;
    if (templateId == meter::kConnectTemplate) proc = win32::ConnectMeterProc;
    // Without the library's own module the template cannot be found: no window.
    if (proc == nullptr || module == kNoHandle) return kNoHandle;
    HWND w = CreateDialogParamA(reinterpret_cast<HINSTANCE>(module), IntName(templateId), nullptr,
                                proc, 0);
    return FromHandle(w);
  }
  void MeterShow(Handle window) override { ShowWindow(Window(window), SW_SHOW); }
  void MeterSetItemText(Handle window, int item, const char *text) override {
    SetDlgItemTextA(Window(window), item, text);
  }
  void MeterSetItemInt(Handle window, int item, int value) override {
    SetDlgItemInt(Window(window), item, static_cast<UINT>(value), TRUE);
  }
  void MeterSendProgress(Handle window, uint32_t wParam, int32_t lParam) override {
    SendMessageA(Window(window), meter::kProgressMessage, static_cast<WPARAM>(wParam),
                 static_cast<LPARAM>(lParam));
  }
  void MeterDestroy(Handle window) override { DestroyWindow(Window(window)); }

 private:
  static HMODULE Module(Handle h) { return reinterpret_cast<HMODULE>(h); }
  static HWND Window(Handle h) { return reinterpret_cast<HWND>(h); }
};

}  // namespace

Platform &NativePlatform() {
  static Win32Platform native;
  return native;
}

}  // namespace veldc::platform
