// The test backend: the OS seam on a virtual clock, with scripted peers for the COM port, the
// UDP socket and the Kov74 driver, fault injection and a log of every call. Constructing one
// installs it; destroying it puts the native backend back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace veldc::platform::virt {

using Micros = uint64_t;
// What a peer's NextDue() gives when nothing is pending, and when it cannot tell.
constexpr Micros kNever = ~static_cast<Micros>(0);
constexpr Micros kUnknown = kNever - 1;

// The far end of the virtual COM port.
class SerialPeer {
 public:
  virtual ~SerialPeer() = default;
  // Bytes the host wrote (WriteFile and TransmitCommChar).
  virtual void FromHost(const uint8_t *data, size_t length, Micros now) = 0;
  // Append the bytes the peer sends that are due at or before `now`.
  virtual void ToHost(Micros now, std::string *out) = 0;
  // The earliest instant more bytes may be due: the host's input wait jumps there. A peer
  // that cannot tell leaves the host to poll with its pauses, as on Windows.
  virtual Micros NextDue() const { return kUnknown; }
};

// The far end of the virtual UDP socket.
class DatagramPeer {
 public:
  virtual ~DatagramPeer() = default;
  virtual void FromHost(const uint8_t *data, size_t length, Micros now) = 0;
  // Pop one datagram due at or before `now`; false when none is due.
  virtual bool ToHost(Micros now, std::string *datagram) = 0;
  // As SerialPeer::NextDue, for the next datagram.
  virtual Micros NextDue() const { return kUnknown; }
};

// What the virtual KOV74C.DLL does.
class Kov74Peer {
 public:
  virtual ~Kov74Peer() = default;
  virtual int Open(int port, int mode, int c254, int option) = 0;
  virtual int SetSpeed(int code) = 0;
  virtual int Close() = 0;
  virtual int Poll(int address, char *record, Micros now) = 0;
  virtual int Send(int address, const char *text, Micros now) = 0;
};

enum class Call {
  ComOpen,
  ComSetupQueues,
  ComGetState,
  ComSetState,
  ComSetTimeouts,
  ComPurge,
  ComClearError,
  ComWrite,
  ComTransmitChar,
  ComClose,
  ModuleLoad,
  FileOpenRead,
  FileCreate,
  FileRead,
  FileWrite,
  FileClose,
  FileDelete,
  MeterCreate,
  MeterShow,
  MeterSetItemText,
  MeterSetItemInt,
  MeterSendProgress,
  MeterDestroy,
  WsStartup,
  WsCleanup,
  WsSocket,
  WsBind,
  WsIoctl,
  WsConnect,
  WsSend,
  WsRecv,
  WsCloseSocket,
  WsGetHostName,
  WsGetHostByName,
  Kov74Open,
  Kov74SetSpeed,
  Kov74Close,
  Kov74Poll,
  Kov74Send
};

// One seam call. What `text`, `a` and `b` hold per call:
//   ComOpen: text = port name.  ComSetupQueues: a = in size, b = out size.
//   ComSetState: a = BaudRate, b = ByteSize << 8 | Parity.  ComPurge: a = flags.
//   ComClearError: a = mask reported.  ComWrite, ComTransmitChar: text = bytes.
//   ModuleLoad, FileOpenRead, FileCreate, FileDelete: text = name.
//   FileRead: a = length asked, b = bytes got.  FileWrite: text = bytes.
//   MeterCreate: a = template id, b = handle.  MeterShow, MeterDestroy: a = window.
//   MeterSetItemText: a = item, text.  MeterSetItemInt: a = item, b = value.
//   MeterSendProgress: a = wParam, b = lParam.
//   WsStartup: a = version asked.  WsSocket: a = type.  WsBind, WsConnect: a = address (host
//   order), b = port (host order).  WsIoctl: a = command, b = argument.  WsSend: text = bytes,
//   a = address and b = port for sendto.  WsRecv: text = datagram delivered, a = buffer length,
//   b = result.  WsGetHostByName: text = name.
//   Kov74Open: a = port, b = mode.  Kov74SetSpeed: a = code.  Kov74Poll: a = address, b =
//   result, text = record when the result is 2.  Kov74Send: a = address, text = text.
// `failed` marks calls that failed through Fail() or FailWriteFile().
struct Event {
  Micros at;
  Call call;
  std::string text;
  int64_t a = 0, b = 0;
  bool failed = false;
};

class VirtualPlatform : public Platform {
 public:
  // Installs itself with SetPlatform(this) and resets the library's state.
  VirtualPlatform();
  // Puts the native backend back and resets the library's state again.
  ~VirtualPlatform() override;
  VirtualPlatform(const VirtualPlatform &) = delete;
  VirtualPlatform &operator=(const VirtualPlatform &) = delete;

  // ---- Clock ----
  Micros Now() const { return now_; }
  void Advance(Micros us) { now_ += us; }
  void SetTickStart(uint32_t tickMs);     // tick count value at Now() == 0
  void SetCounterStart(int64_t counter);  // performance counter value at Now() == 0
  void SetUtcYear(int year);
  // Every PerfCounter() and TickCount() read moves the clock on by this much (so busy-waits
  // progress); default 10 us.
  static constexpr Micros kReadStep = 10;

  // ---- COM port ----
  // Every ComOpen succeeds (unless failed) and talks to the attached peer; null is silence.
  void AttachSerial(SerialPeer *peer);
  std::string Written() const;  // every byte written so far, in order
  std::vector<std::pair<Micros, std::string>> Writes() const;  // each write with its instant
  void ClearWritten();
  ComState LastState() const { return state_; }
  ComTimeouts LastTimeouts() const { return timeouts_; }
  int OpenPortCount() const { return static_cast<int>(openPorts_.size()); }
  std::string LastPortName() const { return lastPortName_; }
  // The next ClearCommError calls report these masks, in order, then 0.
  void QueueClearErrorMask(uint32_t mask);
  // WriteFile (and TransmitCommChar) fail while set.
  void FailWriteFile(bool fail);
  // Bytes that have arrived and not been read yet (after asking the peer for what is due).
  size_t PendingInput();
  // The port's device is gone from instant `at` on (a USB adapter pulled, a pty's far side
  // closed): reads bring nothing, writes fail, ClearCommError reports kCommIoError and an
  // input wait ends there.
  void HangUpAt(Micros at) { hangUpAt_ = at; }

  // ---- Fault injection ----
  // The nth next call of `c` (1 = the very next) fails. For calls with a result code
  // (WinSock, Kov74) `result` is the WSA error / driver result; 0 picks a default
  // (WinSock: 10050; Kov74: -1; WsStartup: 10091).
  void Fail(Call c, int nth = 1, int64_t result = 0);

  // ---- Modules ----
  // Default: WSOCK32.DLL and KOV74C.DLL present and loadable. Names compare case-blind.
  void SetModulePresent(const std::string &name, bool present);
  void SetModuleLoadable(const std::string &name, bool loadable);
  void RemoveSymbol(const std::string &name);  // a WinSock name or Kov74 entry missing
  void SetFileVersion(const std::string &file, uint32_t ms, uint32_t ls);
  void SetKov74(Kov74Peer *peer);
  int LoadedModuleCount() const { return static_cast<int>(loadedModules_.size()); }

  // ---- WinSock: a virtual UDP stack with one socket ----
  void AttachAdapter(DatagramPeer *peer);
  void SetWsaVersion(uint16_t granted);       // default 0x0101
  void SetStartupResult(int result);          // default 0
  void SetHostName(const std::string &name);  // gethostname; default "veldc-host"
  // gethostbyname(name) gives `address` (host order); unknown names fail with 11001.
  // Default: the host name and "localhost" give 127.0.0.1.
  void SetHostAddress(const std::string &name, uint32_t address);
  std::vector<std::pair<Micros, std::string>> SentDatagrams() const { return sent_; }
  uint32_t ConnectedAddress() const { return connectedAddress_; }  // host order
  uint16_t BoundPort() const { return boundPort_; }                // host order
  uint32_t BoundAddress() const { return boundAddress_; }          // host order
  bool SocketOpen() const { return socketOpen_; }
  bool SocketNonBlocking() const { return nonBlocking_; }
  int StartupCount() const { return startups_; }  // WSAStartup calls not yet cleaned up

  // ---- Meters: recorded only ----
  int OpenMeterCount() const { return static_cast<int>(meters_.size()); }

  // ---- Log ----
  const std::vector<Event> &Log() const { return log_; }
  std::vector<Event> LogOf(Call c) const;
  void ClearLog() { log_.clear(); }

  // ---- Platform ----
  Handle ComOpen(const char *name) override;
  bool ComSetupQueues(Handle port, uint32_t inSize, uint32_t outSize) override;
  bool ComGetState(Handle port, ComState *state) override;
  bool ComSetState(Handle port, const ComState &state) override;
  bool ComSetTimeouts(Handle port, const ComTimeouts &timeouts) override;
  bool ComPurge(Handle port, uint32_t flags) override;
  bool ComClearError(Handle port, uint32_t *errorMask) override;
  bool ComWrite(Handle port, const void *data, uint32_t length, uint32_t *written) override;
  uint32_t ComRead(Handle port, void *data, uint32_t length) override;
  bool ComTransmitChar(Handle port, char c) override;
  bool ComClose(Handle port) override;
  const char *DefaultPortName(int port) override;

  int64_t PerfFrequency() override { return 1000000; }
  int64_t PerfCounter() override;
  uint32_t TickCount() override;
  void SleepMs(uint32_t ms) override;
  int UtcYear() override { return utcYear_; }
  // Waits jump the clock: a pause to its end, an input wait to the instant the peer next
  // sends (or the port hangs up), or to the limit.
  void PauseUntil(int64_t deadline) override;
  bool ComWaitInput(Handle port, uint32_t limitMs) override;
  bool SocketWaitInput(WsSocket socket, uint32_t limitMs) override;
  void WakeWaits() override { ++wakes_; }
  int Wakes() const { return wakes_; }

  bool ModuleOnSearchPath(const char *name) override;
  Handle ModuleLoad(const char *name) override;
  void *ModuleSymbol(Handle module, const char *name) override;
  void *ModuleEntry(Handle module, int ordinal, const char *name) override;
  bool ModuleFree(Handle module) override;
  Handle SelfModule() override { return kSelfModule; }
  bool FileVersion(const char *file, uint32_t *versionMs, uint32_t *versionLs) override;

  Handle FileOpenRead(const char *path) override;
  Handle FileCreate(const char *path) override;
  bool FileRead(Handle file, void *data, uint32_t length, uint32_t *got) override;
  bool FileWrite(Handle file, const void *data, uint32_t length) override;
  uint32_t FileSize(Handle file) override;
  bool FileClose(Handle file) override;
  bool FileDelete(const char *path) override;

  Handle MeterCreate(Handle module, int templateId) override;
  void MeterShow(Handle window) override;
  void MeterSetItemText(Handle window, int item, const char *text) override;
  void MeterSetItemInt(Handle window, int item, int value) override;
  void MeterSendProgress(Handle window, uint32_t wParam, int32_t lParam) override;
  void MeterDestroy(Handle window) override;

  // The virtual WSOCK32.DLL and KOV74C.DLL entries land here (through plain functions).
  int WsStartup(uint16_t version, WsData *data);
  int WsCleanup();
  WsSocket WsSocketOpen(int af, int type, int protocol);
  int WsBind(WsSocket s, const WsSockAddrIn *name, int namelen);
  int WsIoctl(WsSocket s, int32_t cmd, uint32_t *argp);
  int WsConnect(WsSocket s, const WsSockAddrIn *name, int namelen);
  int WsRecv(WsSocket s, char *buf, int len, int flags);
  int WsSend(WsSocket s, const char *buf, int len, int flags);
  int WsSendTo(WsSocket s, const char *buf, int len, int flags, const WsSockAddrIn *to, int tolen);
  int WsCloseSocket(WsSocket s);
  int WsLastError() const { return wsError_; }
  WsHostEnt *WsGetHostByName(const char *name);
  int WsGetHostName(char *name, int namelen);
  int Kov74OpenCall(int port, int mode, int c254, int option);
  int Kov74SetSpeedCall(int code);
  int Kov74CloseCall();
  int Kov74PollCall(int address, char *record);
  int Kov74SendCall(int address, const char *text);

  // The installed instance (null when none).
  static VirtualPlatform *Current();

  static constexpr Handle kSelfModule = 0x5E1F;
  static constexpr Handle kWinSockModule = 0x5001;
  static constexpr Handle kKov74Module = 0x5002;
  static constexpr WsSocket kSocket = 0x1C4;

 private:
  struct Failure {
    int remaining;
    int64_t result;
  };
  // True (with the injected result) when this call of `c` is one Fail() scheduled.
  bool Failing(Call c, int64_t *result = nullptr);
  Event &Record(Call c, std::string text = std::string(), int64_t a = 0, int64_t b = 0);
  bool IsOpenPort(Handle port) const { return openPorts_.count(port) != 0; }
  bool HungUp() const { return now_ >= hangUpAt_; }
  // Moves the clock to `at`, capped at `limitMs` from now; never back.
  void JumpTo(Micros at, uint32_t limitMs);
  void PullSerial();
  bool WriteBytes(Call c, Handle port, const void *data, uint32_t length);
  int WsFail(Event &e, int64_t injected);

  Micros now_ = 0;
  uint32_t tickStart_ = 0;
  int64_t counterStart_ = 0;
  int utcYear_ = 2026;
  static constexpr size_t kLogLimit = 200000;
  Event unlogged_{};  // where calls past the log's limit are recorded and forgotten
  std::vector<Event> log_;
  std::map<Call, std::vector<Failure>> failures_;

  SerialPeer *serial_ = nullptr;
  std::map<Handle, std::string> openPorts_;
  Handle nextPort_ = 0x100;
  std::string lastPortName_;
  std::vector<std::pair<Micros, std::string>> writes_;
  std::string rx_;
  ComState state_;
  ComTimeouts timeouts_;
  std::deque<uint32_t> errorMasks_;
  bool failWrite_ = false;
  Micros hangUpAt_ = kNever;
  int wakes_ = 0;

  std::set<std::string> absentModules_;
  std::set<std::string> unloadableModules_;
  std::set<std::string> removedSymbols_;
  std::map<std::string, std::pair<uint32_t, uint32_t>> fileVersions_;
  std::map<Handle, int> loadedModules_;  // handle -> load count
  Kov74Peer *kov74_ = nullptr;

  DatagramPeer *adapter_ = nullptr;
  uint16_t wsaVersion_ = 0x0101;
  int startupResult_ = 0;
  int startups_ = 0;
  int wsError_ = 0;
  bool socketOpen_ = false;
  bool nonBlocking_ = false;
  uint32_t boundAddress_ = 0;
  uint16_t boundPort_ = 0;
  uint32_t connectedAddress_ = 0;
  uint16_t connectedPort_ = 0;
  std::vector<std::pair<Micros, std::string>> sent_;
  std::string hostName_ = "veldc-host";
  std::map<std::string, uint32_t> hostAddresses_;
  // gethostbyname's static storage.
  std::string hostEntName_;
  uint32_t hostEntAddress_ = 0;
  char *hostEntAddrList_[2] = {nullptr, nullptr};
  char *hostEntAliases_[1] = {nullptr};
  WsHostEnt hostEnt_{};

  std::set<Handle> meters_;
  Handle nextMeter_ = 0x7000;
};

}  // namespace veldc::platform::virt
