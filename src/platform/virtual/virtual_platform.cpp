#include "platform/virtual/virtual_platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/winsock_text.h"

namespace veldc::platform::virt {

namespace {

VirtualPlatform *installed = nullptr;

constexpr int kWsaEFault = 10014;
constexpr int kWsaEInval = 10022;
constexpr int kWsaEMFile = 10024;
constexpr int kWsaEAfNoSupport = 10047;
constexpr int kWsaESockTNoSupport = 10044;
constexpr int kWsaENetDown = 10050;
constexpr int kWsaENotConn = 10057;
constexpr int kWsaSysNotReady = 10091;
constexpr int kWsaNotInitialised = 10093;
constexpr int kWsaHostNotFound = 11001;
constexpr int kAfInet = 2;
constexpr int kSockDgram = 2;

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

uint32_t HostOrder(uint32_t network) { return WsHtonl(network); }
uint16_t HostOrder16(uint16_t network) { return WsHtons(network); }

// The virtual WSOCK32.DLL: plain functions that forward to the installed backend.
VirtualPlatform &Vp() { return *VirtualPlatform::Current(); }

int VELDC_WSAAPI TWSAStartup(uint16_t version, WsData *data) {
  return Vp().WsStartup(version, data);
}
WsSocket VELDC_WSAAPI TSocket(int af, int type, int protocol) {
  return Vp().WsSocketOpen(af, type, protocol);
}
int VELDC_WSAAPI TBind(WsSocket s, const WsSockAddrIn *name, int namelen) {
  return Vp().WsBind(s, name, namelen);
}
int VELDC_WSAAPI TIoctl(WsSocket s, int32_t cmd, uint32_t *argp) {
  return Vp().WsIoctl(s, cmd, argp);
}
int VELDC_WSAAPI TConnect(WsSocket s, const WsSockAddrIn *name, int namelen) {
  return Vp().WsConnect(s, name, namelen);
}
int VELDC_WSAAPI TRecv(WsSocket s, char *buf, int len, int flags) {
  return Vp().WsRecv(s, buf, len, flags);
}
int VELDC_WSAAPI TSend(WsSocket s, const char *buf, int len, int flags) {
  return Vp().WsSend(s, buf, len, flags);
}
int VELDC_WSAAPI TCloseSocket(WsSocket s) { return Vp().WsCloseSocket(s); }
int VELDC_WSAAPI TWSACleanup() { return Vp().WsCleanup(); }
uint32_t VELDC_WSAAPI TInetAddr(const char *cp) { return WsInetAddr(cp); }
char *VELDC_WSAAPI TInetNtoa(uint32_t in) {
  static char text[16];
  return WsInetNtoa(in, text);
}
uint16_t VELDC_WSAAPI THtons(uint16_t v) { return WsHtons(v); }
int VELDC_WSAAPI TSendTo(WsSocket s, const char *buf, int len, int flags, const WsSockAddrIn *to,
                         int tolen) {
  return Vp().WsSendTo(s, buf, len, flags, to, tolen);
}
uint32_t VELDC_WSAAPI THtonl(uint32_t v) { return WsHtonl(v); }
int VELDC_WSAAPI TWSAGetLastError() { return Vp().WsLastError(); }
WsHostEnt *VELDC_WSAAPI TGetHostByName(const char *name) { return Vp().WsGetHostByName(name); }
int VELDC_WSAAPI TGetHostName(char *name, int namelen) { return Vp().WsGetHostName(name, namelen); }

// Same order as kWinSockEntryNames.
void *const kWinSockEntries[kWinSockEntryCount] = {
    reinterpret_cast<void *>(&TWSAStartup),
    reinterpret_cast<void *>(&TSocket),
    reinterpret_cast<void *>(&TBind),
    reinterpret_cast<void *>(&TIoctl),
    reinterpret_cast<void *>(&TConnect),
    reinterpret_cast<void *>(&TRecv),
    reinterpret_cast<void *>(&TSend),
    reinterpret_cast<void *>(&TCloseSocket),
    reinterpret_cast<void *>(&TWSACleanup),
    reinterpret_cast<void *>(&TInetAddr),
    reinterpret_cast<void *>(&TInetNtoa),
    reinterpret_cast<void *>(&THtons),
    reinterpret_cast<void *>(&TSendTo),
    reinterpret_cast<void *>(&THtonl),
    reinterpret_cast<void *>(&TWSAGetLastError),
    reinterpret_cast<void *>(&TGetHostByName),
    reinterpret_cast<void *>(&TGetHostName),
};

// The virtual KOV74C.DLL.
int VELDC_STDCALL KOpen(int port, int mode, int c254, int option) {
  return Vp().Kov74OpenCall(port, mode, c254, option);
}
int VELDC_STDCALL KSetSpeed(int code) { return Vp().Kov74SetSpeedCall(code); }
int VELDC_STDCALL KClose() { return Vp().Kov74CloseCall(); }
int VELDC_STDCALL KPoll(int address, char *record) { return Vp().Kov74PollCall(address, record); }
int VELDC_STDCALL KSend(int address, const char *text) { return Vp().Kov74SendCall(address, text); }

struct Kov74Entry {
  const char *name;
  void *fn;
};
const Kov74Entry kKov74Entries[] = {
    {"Kov74Open", reinterpret_cast<void *>(&KOpen)},
    {"Kov74SetSpeed", reinterpret_cast<void *>(&KSetSpeed)},
    {"Kov74Close", reinterpret_cast<void *>(&KClose)},
    {"Kov74Poll", reinterpret_cast<void *>(&KPoll)},
    {"Kov74Send", reinterpret_cast<void *>(&KSend)},
};

const char *const kWinSockName = "WSOCK32.DLL";
const char *const kKov74Name = "KOV74C.DLL";

}  // namespace

VirtualPlatform *VirtualPlatform::Current() { return installed; }

VirtualPlatform::VirtualPlatform() {
  state_.BaudRate = 9600;
  state_.fBinary = true;
  state_.ByteSize = 8;
  state_.XonChar = 0x11;
  state_.XoffChar = 0x13;
  hostAddresses_[hostName_] = 0x7F000001u;
  hostAddresses_["localhost"] = 0x7F000001u;
  installed = this;
  SetPlatform(this);
}

VirtualPlatform::~VirtualPlatform() {
  SetPlatform(nullptr);
  if (installed == this) installed = nullptr;
}

// ---- Clock -------------------------------------------------------------------------------

void VirtualPlatform::SetTickStart(uint32_t tickMs) { tickStart_ = tickMs; }
void VirtualPlatform::SetCounterStart(int64_t counter) { counterStart_ = counter; }
void VirtualPlatform::SetUtcYear(int year) { utcYear_ = year; }

int64_t VirtualPlatform::PerfCounter() {
  now_ += kReadStep;
  return counterStart_ + static_cast<int64_t>(now_);
}

uint32_t VirtualPlatform::TickCount() {
  now_ += kReadStep;
  return tickStart_ + static_cast<uint32_t>(now_ / 1000);
}

void VirtualPlatform::SleepMs(uint32_t ms) { now_ += static_cast<Micros>(ms) * 1000; }

void VirtualPlatform::PauseUntil(int64_t deadline) {
  const int64_t at = deadline - counterStart_;
  if (at > static_cast<int64_t>(now_)) now_ = static_cast<Micros>(at);
}

void VirtualPlatform::JumpTo(Micros at, uint32_t limitMs) {
  const Micros limit = now_ + static_cast<Micros>(limitMs) * 1000;
  if (at > now_) now_ = std::min(at, limit);
}

bool VirtualPlatform::ComWaitInput(Handle port, uint32_t limitMs) {
  if (!IsOpenPort(port)) return false;
  PullSerial();
  if (!rx_.empty() || HungUp()) return true;
  const Micros next = serial_ != nullptr ? serial_->NextDue() : kNever;
  if (next == kUnknown) return false;
  JumpTo(std::min(next, hangUpAt_), limitMs);
  return true;
}

bool VirtualPlatform::SocketWaitInput(WsSocket socket, uint32_t limitMs) {
  if (!socketOpen_ || socket != kSocket) return false;
  const Micros next = adapter_ != nullptr ? adapter_->NextDue() : kNever;
  if (next == kUnknown) return false;
  JumpTo(next, limitMs);
  return true;
}

// ---- Log and failures --------------------------------------------------------------------

Event &VirtualPlatform::Record(Call c, std::string text, int64_t a, int64_t b) {
  // A flood or a long wait polls hundreds of thousands of times: only the first calls are
  // kept, so the log cannot eat the test's memory.
  if (log_.size() >= kLogLimit) {
    unlogged_ = Event{now_, c, std::move(text), a, b};
    return unlogged_;
  }
  log_.push_back(Event{now_, c, std::move(text), a, b});
  return log_.back();
}

std::vector<Event> VirtualPlatform::LogOf(Call c) const {
  std::vector<Event> out;
  for (const Event &e : log_) {
    if (e.call == c) out.push_back(e);
  }
  return out;
}

void VirtualPlatform::Fail(Call c, int nth, int64_t result) {
  if (nth < 1) nth = 1;
  failures_[c].push_back(Failure{nth, result});
}

bool VirtualPlatform::Failing(Call c, int64_t *result) {
  auto it = failures_.find(c);
  if (it == failures_.end()) return false;
  bool fail = false;
  auto &list = it->second;
  for (auto f = list.begin(); f != list.end();) {
    if (--f->remaining == 0) {
      if (!fail && result != nullptr) *result = f->result;
      fail = true;
      f = list.erase(f);
    } else {
      ++f;
    }
  }
  return fail;
}

// ---- COM port ----------------------------------------------------------------------------

void VirtualPlatform::AttachSerial(SerialPeer *peer) { serial_ = peer; }

std::string VirtualPlatform::Written() const {
  std::string all;
  for (const auto &w : writes_) all += w.second;
  return all;
}

std::vector<std::pair<Micros, std::string>> VirtualPlatform::Writes() const { return writes_; }

void VirtualPlatform::ClearWritten() { writes_.clear(); }

void VirtualPlatform::QueueClearErrorMask(uint32_t mask) { errorMasks_.push_back(mask); }

void VirtualPlatform::FailWriteFile(bool fail) { failWrite_ = fail; }

void VirtualPlatform::PullSerial() {
  if (serial_ != nullptr && !openPorts_.empty()) serial_->ToHost(now_, &rx_);
}

size_t VirtualPlatform::PendingInput() {
  PullSerial();
  return rx_.size();
}

Handle VirtualPlatform::ComOpen(const char *name) {
  const std::string text = name != nullptr ? name : "";
  Event &e = Record(Call::ComOpen, text);
  lastPortName_ = text;
  // Ports are opened without sharing: a second open of the same port fails.
  bool busy = false;
  for (const auto &p : openPorts_) busy = busy || Upper(p.second) == Upper(text);
  if (Failing(Call::ComOpen) || busy || text.empty()) {
    e.failed = true;
    return kInvalidHandle;
  }
  const Handle h = nextPort_++;
  openPorts_[h] = text;
  rx_.clear();
  return h;
}

bool VirtualPlatform::ComSetupQueues(Handle port, uint32_t inSize, uint32_t outSize) {
  Event &e = Record(Call::ComSetupQueues, std::string(), inSize, outSize);
  if (Failing(Call::ComSetupQueues) || !IsOpenPort(port)) return !(e.failed = true);
  return true;
}

bool VirtualPlatform::ComGetState(Handle port, ComState *state) {
  Event &e = Record(Call::ComGetState);
  if (Failing(Call::ComGetState) || !IsOpenPort(port) || state == nullptr) {
    return !(e.failed = true);
  }
  *state = state_;
  return true;
}

bool VirtualPlatform::ComSetState(Handle port, const ComState &state) {
  Event &e = Record(Call::ComSetState, std::string(), state.BaudRate,
                    static_cast<int64_t>(state.ByteSize) << 8 | state.Parity);
  // Windows refuses a block it cannot apply.
  const bool valid = state.BaudRate != 0 && state.ByteSize >= 5 && state.ByteSize <= 8 &&
                     state.Parity <= 4 && state.StopBits <= 2;
  if (Failing(Call::ComSetState) || !IsOpenPort(port) || !valid) return !(e.failed = true);
  state_ = state;
  return true;
}

bool VirtualPlatform::ComSetTimeouts(Handle port, const ComTimeouts &timeouts) {
  Event &e = Record(Call::ComSetTimeouts);
  if (Failing(Call::ComSetTimeouts) || !IsOpenPort(port)) return !(e.failed = true);
  timeouts_ = timeouts;
  return true;
}

bool VirtualPlatform::ComPurge(Handle port, uint32_t flags) {
  Event &e = Record(Call::ComPurge, std::string(), flags);
  if (Failing(Call::ComPurge) || !IsOpenPort(port)) return !(e.failed = true);
  if ((flags & kPurgeRxClear) != 0) {
    // What has arrived by now goes; what the peer sends later does not.
    PullSerial();
    rx_.clear();
  }
  return true;
}

bool VirtualPlatform::ComClearError(Handle port, uint32_t *errorMask) {
  Event &e = Record(Call::ComClearError);
  if (Failing(Call::ComClearError) || !IsOpenPort(port)) return !(e.failed = true);
  uint32_t mask = HungUp() ? kCommIoError : 0;
  if (!errorMasks_.empty()) {
    mask = errorMasks_.front();
    errorMasks_.pop_front();
  }
  e.a = mask;
  if (errorMask != nullptr) *errorMask = mask;
  return true;
}

bool VirtualPlatform::WriteBytes(Call c, Handle port, const void *data, uint32_t length) {
  const std::string bytes(static_cast<const char *>(data), length);
  Event &e = Record(c, bytes);
  if (Failing(c) || failWrite_ || !IsOpenPort(port) || HungUp()) return !(e.failed = true);
  writes_.emplace_back(now_, bytes);
  if (serial_ != nullptr) serial_->FromHost(static_cast<const uint8_t *>(data), length, now_);
  return true;
}

bool VirtualPlatform::ComWrite(Handle port, const void *data, uint32_t length, uint32_t *written) {
  const bool ok = WriteBytes(Call::ComWrite, port, data, length);
  if (written != nullptr) *written = ok ? length : 0;
  return ok;
}

uint32_t VirtualPlatform::ComRead(Handle port, void *data, uint32_t length) {
  if (!IsOpenPort(port) || data == nullptr || HungUp()) return 0;
  PullSerial();
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(length, rx_.size()));
  std::memcpy(data, rx_.data(), n);
  rx_.erase(0, n);
  return n;
}

bool VirtualPlatform::ComTransmitChar(Handle port, char c) {
  return WriteBytes(Call::ComTransmitChar, port, &c, 1);
}

bool VirtualPlatform::ComClose(Handle port) {
  Event &e = Record(Call::ComClose, std::string(), port);
  if (Failing(Call::ComClose) || !IsOpenPort(port)) return !(e.failed = true);
  openPorts_.erase(port);
  rx_.clear();
  return true;
}

const char *VirtualPlatform::DefaultPortName(int port) {
  static const char *const kNames[] = {"COM1", "COM2", "COM3", "COM4"};
  return port >= 1 && port <= 4 ? kNames[port - 1] : nullptr;
}

// ---- Modules -----------------------------------------------------------------------------

void VirtualPlatform::SetModulePresent(const std::string &name, bool present) {
  if (present) {
    absentModules_.erase(Upper(name));
  } else {
    absentModules_.insert(Upper(name));
  }
}

void VirtualPlatform::SetModuleLoadable(const std::string &name, bool loadable) {
  if (loadable) {
    unloadableModules_.erase(Upper(name));
  } else {
    unloadableModules_.insert(Upper(name));
  }
}

void VirtualPlatform::RemoveSymbol(const std::string &name) { removedSymbols_.insert(name); }

void VirtualPlatform::SetFileVersion(const std::string &file, uint32_t ms, uint32_t ls) {
  fileVersions_[Upper(file)] = {ms, ls};
}

void VirtualPlatform::SetKov74(Kov74Peer *peer) { kov74_ = peer; }

bool VirtualPlatform::ModuleOnSearchPath(const char *name) {
  if (name == nullptr) return false;
  const std::string n = Upper(name);
  return (n == kWinSockName || n == kKov74Name) && absentModules_.count(n) == 0;
}

Handle VirtualPlatform::ModuleLoad(const char *name) {
  const std::string n = Upper(name != nullptr ? name : "");
  Event &e = Record(Call::ModuleLoad, name != nullptr ? name : "");
  Handle h = kNoHandle;
  if (n == kWinSockName) h = kWinSockModule;
  if (n == kKov74Name) h = kKov74Module;
  if (Failing(Call::ModuleLoad) || h == kNoHandle || absentModules_.count(n) != 0 ||
      unloadableModules_.count(n) != 0) {
    e.failed = true;
    return kNoHandle;
  }
  ++loadedModules_[h];
  return h;
}

void *VirtualPlatform::ModuleSymbol(Handle module, const char *name) {
  if (name == nullptr || loadedModules_.count(module) == 0) return nullptr;
  if (removedSymbols_.count(name) != 0) return nullptr;
  if (module == kWinSockModule) {
    for (int i = 0; i < kWinSockEntryCount; ++i) {
      if (std::strcmp(kWinSockEntryNames[i], name) == 0) return kWinSockEntries[i];
    }
  }
  if (module == kKov74Module) {
    for (const Kov74Entry &k : kKov74Entries) {
      if (std::strcmp(k.name, name) == 0) return k.fn;
    }
  }
  return nullptr;
}

void *VirtualPlatform::ModuleEntry(Handle module, int /*ordinal*/, const char *name) {
  return ModuleSymbol(module, name);
}

bool VirtualPlatform::ModuleFree(Handle module) {
  auto it = loadedModules_.find(module);
  if (it == loadedModules_.end()) return false;
  if (--it->second == 0) loadedModules_.erase(it);
  return true;
}

bool VirtualPlatform::FileVersion(const char *file, uint32_t *versionMs, uint32_t *versionLs) {
  if (file == nullptr) return false;
  auto it = fileVersions_.find(Upper(file));
  if (it == fileVersions_.end()) return false;
  if (versionMs != nullptr) *versionMs = it->second.first;
  if (versionLs != nullptr) *versionLs = it->second.second;
  return true;
}

// ---- Files: the real ones, with failures on demand ----------------------------------------

Handle VirtualPlatform::FileOpenRead(const char *path) {
  Event &e = Record(Call::FileOpenRead, path != nullptr ? path : "");
  if (Failing(Call::FileOpenRead)) return (e.failed = true), kInvalidHandle;
  const Handle h = NativePlatform().FileOpenRead(path);
  e.failed = h == kInvalidHandle;
  return h;
}

Handle VirtualPlatform::FileCreate(const char *path) {
  Event &e = Record(Call::FileCreate, path != nullptr ? path : "");
  if (Failing(Call::FileCreate)) return (e.failed = true), kInvalidHandle;
  const Handle h = NativePlatform().FileCreate(path);
  e.failed = h == kInvalidHandle;
  return h;
}

bool VirtualPlatform::FileRead(Handle file, void *data, uint32_t length, uint32_t *got) {
  Event &e = Record(Call::FileRead, std::string(), length);
  if (Failing(Call::FileRead)) {
    if (got != nullptr) *got = 0;
    return !(e.failed = true);
  }
  uint32_t n = 0;
  const bool ok = NativePlatform().FileRead(file, data, length, &n);
  if (got != nullptr) *got = n;
  e.b = n;
  e.failed = !ok;
  return ok;
}

bool VirtualPlatform::FileWrite(Handle file, const void *data, uint32_t length) {
  Event &e = Record(Call::FileWrite, std::string(static_cast<const char *>(data), length));
  if (Failing(Call::FileWrite)) return !(e.failed = true);
  const bool ok = NativePlatform().FileWrite(file, data, length);
  e.failed = !ok;
  return ok;
}

uint32_t VirtualPlatform::FileSize(Handle file) { return NativePlatform().FileSize(file); }

bool VirtualPlatform::FileClose(Handle file) {
  Event &e = Record(Call::FileClose);
  // An injected failure still releases the file, so tests leave no descriptors behind.
  const bool ok = NativePlatform().FileClose(file);
  if (Failing(Call::FileClose)) return !(e.failed = true);
  e.failed = !ok;
  return ok;
}

bool VirtualPlatform::FileDelete(const char *path) {
  Event &e = Record(Call::FileDelete, path != nullptr ? path : "");
  if (Failing(Call::FileDelete)) return !(e.failed = true);
  const bool ok = NativePlatform().FileDelete(path);
  e.failed = !ok;
  return ok;
}

// ---- Meters ------------------------------------------------------------------------------

Handle VirtualPlatform::MeterCreate(Handle /*module*/, int templateId) {
  Event &e = Record(Call::MeterCreate, std::string(), templateId);
  if (Failing(Call::MeterCreate)) return (e.failed = true), kNoHandle;
  const Handle h = nextMeter_++;
  meters_.insert(h);
  e.b = h;
  return h;
}

void VirtualPlatform::MeterShow(Handle window) { Record(Call::MeterShow, std::string(), window); }

void VirtualPlatform::MeterSetItemText(Handle /*window*/, int item, const char *text) {
  Record(Call::MeterSetItemText, text != nullptr ? text : "", item);
}

void VirtualPlatform::MeterSetItemInt(Handle /*window*/, int item, int value) {
  Record(Call::MeterSetItemInt, std::string(), item, value);
}

void VirtualPlatform::MeterSendProgress(Handle /*window*/, uint32_t wParam, int32_t lParam) {
  Record(Call::MeterSendProgress, std::string(), wParam, lParam);
}

void VirtualPlatform::MeterDestroy(Handle window) {
  Record(Call::MeterDestroy, std::string(), window);
  meters_.erase(window);
}

// ---- WinSock -----------------------------------------------------------------------------

void VirtualPlatform::AttachAdapter(DatagramPeer *peer) { adapter_ = peer; }
void VirtualPlatform::SetWsaVersion(uint16_t granted) { wsaVersion_ = granted; }
void VirtualPlatform::SetStartupResult(int result) { startupResult_ = result; }
void VirtualPlatform::SetHostName(const std::string &name) {
  hostAddresses_.erase(hostName_);
  hostName_ = name;
  hostAddresses_[name] = 0x7F000001u;
}
void VirtualPlatform::SetHostAddress(const std::string &name, uint32_t address) {
  hostAddresses_[name] = address;
}

int VirtualPlatform::WsFail(Event &e, int64_t injected) {
  e.failed = true;
  wsError_ = static_cast<int>(injected);
  e.b = wsError_;
  return kWsSocketError;
}

int VirtualPlatform::WsStartup(uint16_t version, WsData *data) {
  Event &e = Record(Call::WsStartup, std::string(), version);
  int64_t injected = 0;
  if (Failing(Call::WsStartup, &injected)) {
    e.failed = true;
    return injected != 0 ? static_cast<int>(injected) : kWsaSysNotReady;
  }
  if (startupResult_ != 0) return (e.failed = true), startupResult_;
  if (data == nullptr) return (e.failed = true), kWsaEFault;
  std::memset(data, 0, sizeof(*data));
  data->wVersion = wsaVersion_;
  data->wHighVersion = wsaVersion_;
  ++startups_;
  return 0;
}

int VirtualPlatform::WsCleanup() {
  Event &e = Record(Call::WsCleanup);
  int64_t injected = 0;
  if (Failing(Call::WsCleanup, &injected)) return WsFail(e, injected ? injected : kWsaENetDown);
  if (startups_ == 0) return WsFail(e, kWsaNotInitialised);
  --startups_;
  return 0;
}

WsSocket VirtualPlatform::WsSocketOpen(int af, int type, int /*protocol*/) {
  Event &e = Record(Call::WsSocket, std::string(), type);
  int64_t injected = 0;
  int err = 0;
  if (Failing(Call::WsSocket, &injected)) {
    err = injected ? static_cast<int>(injected) : kWsaENetDown;
  } else if (startups_ == 0) {
    err = kWsaNotInitialised;
  } else if (af != kAfInet) {
    err = kWsaEAfNoSupport;
  } else if (type != kSockDgram) {
    err = kWsaESockTNoSupport;
  } else if (socketOpen_) {
    err = kWsaEMFile;  // one socket at a time
  }
  if (err != 0) {
    WsFail(e, err);
    return kWsInvalidSocket;
  }
  socketOpen_ = true;
  nonBlocking_ = false;
  boundAddress_ = 0;
  boundPort_ = 0;
  connectedAddress_ = 0;
  connectedPort_ = 0;
  return kSocket;
}

int VirtualPlatform::WsBind(WsSocket s, const WsSockAddrIn *name, int namelen) {
  const uint32_t address = name != nullptr ? HostOrder(name->sin_addr) : 0;
  const uint16_t port = name != nullptr ? HostOrder16(name->sin_port) : 0;
  Event &e = Record(Call::WsBind, std::string(), address, port);
  int64_t injected = 0;
  if (Failing(Call::WsBind, &injected)) return WsFail(e, injected ? injected : kWsaENetDown);
  if (!socketOpen_ || s != kSocket) return WsFail(e, kWsaENotSock);
  if (name == nullptr || namelen < static_cast<int>(sizeof(WsSockAddrIn))) {
    return WsFail(e, kWsaEFault);
  }
  if (name->sin_family != kAfInet) return WsFail(e, kWsaEAfNoSupport);
  if (boundPort_ != 0) return WsFail(e, kWsaEInval);
  boundAddress_ = address;
  boundPort_ = port != 0 ? port : 49152;
  return 0;
}

int VirtualPlatform::WsIoctl(WsSocket s, int32_t cmd, uint32_t *argp) {
  Event &e = Record(Call::WsIoctl, std::string(), cmd, argp != nullptr ? *argp : 0);
  int64_t injected = 0;
  if (Failing(Call::WsIoctl, &injected)) return WsFail(e, injected ? injected : kWsaENetDown);
  if (!socketOpen_ || s != kSocket) return WsFail(e, kWsaENotSock);
  if (cmd != kWsFionbio) return WsFail(e, kWsaEInval);
  if (argp == nullptr) return WsFail(e, kWsaEFault);
  nonBlocking_ = *argp != 0;
  return 0;
}

int VirtualPlatform::WsConnect(WsSocket s, const WsSockAddrIn *name, int namelen) {
  const uint32_t address = name != nullptr ? HostOrder(name->sin_addr) : 0;
  const uint16_t port = name != nullptr ? HostOrder16(name->sin_port) : 0;
  Event &e = Record(Call::WsConnect, std::string(), address, port);
  int64_t injected = 0;
  if (Failing(Call::WsConnect, &injected)) return WsFail(e, injected ? injected : kWsaENetDown);
  if (!socketOpen_ || s != kSocket) return WsFail(e, kWsaENotSock);
  if (name == nullptr || namelen < static_cast<int>(sizeof(WsSockAddrIn))) {
    return WsFail(e, kWsaEFault);
  }
  if (name->sin_family != kAfInet) return WsFail(e, kWsaEAfNoSupport);
  connectedAddress_ = address;
  connectedPort_ = port;
  if (boundPort_ == 0) boundPort_ = 49152;
  return 0;
}

int VirtualPlatform::WsRecv(WsSocket s, char *buf, int len, int /*flags*/) {
  Event &e = Record(Call::WsRecv, std::string(), len);
  int64_t injected = 0;
  if (Failing(Call::WsRecv, &injected)) return WsFail(e, injected ? injected : kWsaENetDown);
  if (!socketOpen_ || s != kSocket) return WsFail(e, kWsaENotSock);
  if (buf == nullptr || len < 0) return WsFail(e, kWsaEFault);
  // Reads never wait on virtual time: nothing due is "would block" in either mode.
  std::string datagram;
  if (adapter_ == nullptr || !adapter_->ToHost(now_, &datagram)) {
    return WsFail(e, kWsaEWouldBlock);
  }
  e.text = datagram;
  const size_t n = std::min(datagram.size(), static_cast<size_t>(len));
  std::memcpy(buf, datagram.data(), n);
  // A datagram longer than the buffer fills it and the rest is lost, as WinSock does.
  if (datagram.size() > static_cast<size_t>(len)) return WsFail(e, kWsaEMsgSize);
  e.b = static_cast<int64_t>(n);
  return static_cast<int>(n);
}

int VirtualPlatform::WsSend(WsSocket s, const char *buf, int len, int /*flags*/) {
  const std::string bytes(buf != nullptr && len > 0 ? std::string(buf, len) : std::string());
  Event &e = Record(Call::WsSend, bytes, connectedAddress_, connectedPort_);
  int64_t injected = 0;
  if (Failing(Call::WsSend, &injected)) return WsFail(e, injected ? injected : kWsaENetDown);
  if (!socketOpen_ || s != kSocket) return WsFail(e, kWsaENotSock);
  if (connectedPort_ == 0) return WsFail(e, kWsaENotConn);
  if (buf == nullptr || len < 0) return WsFail(e, kWsaEFault);
  sent_.emplace_back(now_, bytes);
  if (adapter_ != nullptr) {
    adapter_->FromHost(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), now_);
  }
  return len;
}

int VirtualPlatform::WsSendTo(WsSocket s, const char *buf, int len, int /*flags*/,
                              const WsSockAddrIn *to, int tolen) {
  const std::string bytes(buf != nullptr && len > 0 ? std::string(buf, len) : std::string());
  const uint32_t address = to != nullptr ? HostOrder(to->sin_addr) : 0;
  const uint16_t port = to != nullptr ? HostOrder16(to->sin_port) : 0;
  Event &e = Record(Call::WsSend, bytes, address, port);
  int64_t injected = 0;
  if (Failing(Call::WsSend, &injected)) return WsFail(e, injected ? injected : kWsaENetDown);
  if (!socketOpen_ || s != kSocket) return WsFail(e, kWsaENotSock);
  if (to == nullptr || tolen < static_cast<int>(sizeof(WsSockAddrIn)) || buf == nullptr ||
      len < 0) {
    return WsFail(e, kWsaEFault);
  }
  sent_.emplace_back(now_, bytes);
  if (adapter_ != nullptr) {
    adapter_->FromHost(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), now_);
  }
  return len;
}

int VirtualPlatform::WsCloseSocket(WsSocket s) {
  Event &e = Record(Call::WsCloseSocket);
  int64_t injected = 0;
  if (Failing(Call::WsCloseSocket, &injected)) {
    return WsFail(e, injected ? injected : kWsaENetDown);
  }
  if (!socketOpen_ || s != kSocket) return WsFail(e, kWsaENotSock);
  socketOpen_ = false;
  nonBlocking_ = false;
  boundAddress_ = 0;
  boundPort_ = 0;
  connectedAddress_ = 0;
  connectedPort_ = 0;
  return 0;
}

int VirtualPlatform::WsGetHostName(char *name, int namelen) {
  Event &e = Record(Call::WsGetHostName, hostName_, namelen);
  int64_t injected = 0;
  if (Failing(Call::WsGetHostName, &injected)) {
    return WsFail(e, injected ? injected : kWsaENetDown);
  }
  if (name == nullptr || namelen <= static_cast<int>(hostName_.size())) {
    return WsFail(e, kWsaEFault);
  }
  std::memcpy(name, hostName_.c_str(), hostName_.size() + 1);
  return 0;
}

WsHostEnt *VirtualPlatform::WsGetHostByName(const char *name) {
  Event &e = Record(Call::WsGetHostByName, name != nullptr ? name : "");
  int64_t injected = 0;
  if (Failing(Call::WsGetHostByName, &injected)) {
    WsFail(e, injected ? injected : kWsaHostNotFound);
    return nullptr;
  }
  auto it = name != nullptr ? hostAddresses_.find(name) : hostAddresses_.end();
  if (it == hostAddresses_.end()) {
    WsFail(e, kWsaHostNotFound);
    return nullptr;
  }
  hostEntName_ = it->first;
  hostEntAddress_ = WsHtonl(it->second);
  hostEntAddrList_[0] = reinterpret_cast<char *>(&hostEntAddress_);
  hostEntAddrList_[1] = nullptr;
  hostEntAliases_[0] = nullptr;
  hostEnt_.h_name = &hostEntName_[0];
  hostEnt_.h_aliases = hostEntAliases_;
  hostEnt_.h_addrtype = kAfInet;
  hostEnt_.h_length = 4;
  hostEnt_.h_addr_list = hostEntAddrList_;
  return &hostEnt_;
}

// ---- Kov74 -------------------------------------------------------------------------------
// Without a peer the driver opens (1), takes any speed, closes, and has nothing to deliver.

int VirtualPlatform::Kov74OpenCall(int port, int mode, int c254, int option) {
  Event &e = Record(Call::Kov74Open, std::string(), port, mode);
  int64_t injected = 0;
  if (Failing(Call::Kov74Open, &injected)) {
    e.failed = true;
    return injected != 0 ? static_cast<int>(injected) : -1;
  }
  return kov74_ != nullptr ? kov74_->Open(port, mode, c254, option) : 1;
}

int VirtualPlatform::Kov74SetSpeedCall(int code) {
  Event &e = Record(Call::Kov74SetSpeed, std::string(), code);
  int64_t injected = 0;
  if (Failing(Call::Kov74SetSpeed, &injected)) {
    e.failed = true;
    return injected != 0 ? static_cast<int>(injected) : -1;
  }
  return kov74_ != nullptr ? kov74_->SetSpeed(code) : 0;
}

int VirtualPlatform::Kov74CloseCall() {
  Event &e = Record(Call::Kov74Close);
  int64_t injected = 0;
  if (Failing(Call::Kov74Close, &injected)) {
    e.failed = true;
    return injected != 0 ? static_cast<int>(injected) : -1;
  }
  return kov74_ != nullptr ? kov74_->Close() : 0;
}

int VirtualPlatform::Kov74PollCall(int address, char *record) {
  Event &e = Record(Call::Kov74Poll, std::string(), address);
  int64_t injected = 0;
  int r;
  if (Failing(Call::Kov74Poll, &injected)) {
    e.failed = true;
    r = injected != 0 ? static_cast<int>(injected) : -1;
  } else {
    r = kov74_ != nullptr ? kov74_->Poll(address, record, now_) : 0;
  }
  e.b = r;
  if (r == 2 && record != nullptr) e.text = std::string(record, 1 + std::strlen(record + 1));
  return r;
}

int VirtualPlatform::Kov74SendCall(int address, const char *text) {
  Event &e = Record(Call::Kov74Send, text != nullptr ? text : "", address);
  int64_t injected = 0;
  if (Failing(Call::Kov74Send, &injected)) {
    e.failed = true;
    return injected != 0 ? static_cast<int>(injected) : -1;
  }
  return kov74_ != nullptr ? kov74_->Send(address, text, now_) : 0;
}

}  // namespace veldc::platform::virt
