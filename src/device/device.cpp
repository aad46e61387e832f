// Opening and closing the one communication device.
#include "device/device.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/errors.h"
#include "device/kov74.h"
#include "device/port.h"
#include "device/timing.h"
#include "meter/meter.h"
#include "veldc.h"

extern "C" {
void *hCommId = reinterpret_cast<void *>(static_cast<intptr_t>(-1));
}

namespace veldc::device {

using platform::ComState;
using platform::ComTimeouts;
using platform::Handle;
using platform::Os;

DeviceRecord DeviceState;
uint8_t bySelectedTerminal = NO_TERMINAL;

namespace {

constexpr const char *kDefaultPassword = "80264";
constexpr int kPortBase[4] = {1016, 760, 1000, 744};
constexpr size_t kPortNameMax = 255;

char portNames[4][kPortNameMax + 1] = {};

void SetComPort(Handle h) { hCommId = reinterpret_cast<void *>(h); }

bool IsOneOf(int v, std::initializer_list<int> values) {
  for (int x : values) {
    if (v == x) return true;
  }
  return false;
}

}  // namespace

bool Kov74ArgumentsValid(int port, int, int speed, int format) {
  return port >= 1 && port <= 4 && IsOneOf(speed, {0, 9600, 19200, 38400, 57600}) &&
         (format == -1 || format == 0);
}

// Which speeds a port takes is a matter of the kind: the network interface has its own.
bool SerialArgumentsValid(int port, int kind, int speed, int format) {
  if (port < 1 || port > 4 || format < 0 || format > 4) return false;
  if (kind == DEV_SERIAL_NETWORK) return IsOneOf(speed, {2400, 9600, 19200, 38400});
  return IsOneOf(speed, {1200, 2400, 4800, 9600, 19200, 38400});
}

int OpenKov74(int port, int kind, int speed, int format) {
  if (!Kov74Load()) return Fail(kErrKov74DllNotFound);
  const int mode = kind == DEV_KOV74_MODE0 ? 0 : kind == DEV_KOV74_MODE1 ? 1 : 2;
  const int r = Kov74Open(port, mode, format);
  if (r <= 0) {
    // The driver's defined failures are 0..-9 (codes 11..20); anything below would reach
    // codes of other groups, so it is reported as the last driver code.
    SetError(r >= -9 ? kErrKov74PortNotFound - r : kErrKov74PortNotFound + 9);
    Kov74Unload();
    return -1;
  }
  if (speed != 0) {
    const int code = speed == 9600 ? 0 : speed == 19200 ? 1 : speed == 38400 ? 2 : 3;
    if (Kov74SetSpeed(code) < 0) {
      // Close the driver here: with the device left closed nothing else could.
      Kov74Close();
      Kov74Unload();
      return Fail(kErrKov74Speed);
    }
  }
  DeviceState.nDeviceKind = kind;
  return r;
}

int CloseKov74() {
  const int r = Kov74Close();
  if (r == -255) return Fail(kErrKov74PortId);
  if (r != 0) return Fail(kErrKov74Close);
  Kov74Unload();
  return 0;
}

namespace {

void ApplySettings(ComState &dcb, int speed, int format) {
  static constexpr uint8_t kByteSize[5] = {8, 7, 7, 8, 8};
  static constexpr uint8_t kParity[5] = {platform::kNoParity, platform::kOddParity,
                                         platform::kEvenParity, platform::kOddParity,
                                         platform::kEvenParity};
  dcb.BaudRate = static_cast<uint32_t>(speed);
  dcb.ByteSize = kByteSize[format];
  dcb.Parity = kParity[format];
  dcb.StopBits = platform::kOneStopBit;
  dcb.fBinary = true;
  dcb.fParity = true;
  dcb.fTXContinueOnXoff = true;
  dcb.fOutX = true;
  dcb.fInX = true;
  dcb.fDtrControl = platform::kDtrControlEnable;
  dcb.fRtsControl = platform::kRtsControlEnable;
  dcb.fOutxCtsFlow = false;
  dcb.fOutxDsrFlow = false;
  dcb.fDsrSensitivity = false;
  dcb.fErrorChar = false;
  dcb.fNull = false;
  dcb.fAbortOnError = false;
  dcb.XonLim = 24;
  dcb.XoffLim = 24;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
}

int FailSerial(int32_t code) {
  Os().ComClose(ComPort());
  SetComPort(platform::kInvalidHandle);  // the host must not be handed a closed port
  return Fail(code);
}

}  // namespace

int OpenSerial(int port, int kind, int speed, int format) {
  auto &os = Os();
  const Handle h = os.ComOpen(PortName(port));
  SetComPort(h);
  if (h == platform::kInvalidHandle) return Fail(kErrOpenPort);
  if (!os.ComSetupQueues(h, 1024, 256)) return FailSerial(kErrSetupPort);
  ComState dcb;
  if (!os.ComGetState(h, &dcb)) return FailSerial(kErrGetComState);
  ApplySettings(dcb, speed, format);
  if (!os.ComSetState(h, dcb)) return FailSerial(kErrSetComState);
  ComTimeouts timeouts;
  timeouts.ReadIntervalTimeout = 0xFFFFFFFFu;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 5;
  timeouts.WriteTotalTimeoutConstant = 100;
  if (!os.ComSetTimeouts(h, timeouts)) return FailSerial(kErrSetComTimeouts);
  if (!os.ComPurge(h, platform::kPurgeTxClear)) return FailSerial(kErrFlushTx);
  if (!os.ComPurge(h, platform::kPurgeRxClear)) return FailSerial(kErrFlushRx);
  if (kind == DEV_SERIAL_NETWORK) {
    // Set-up of the network interface; the last one deselects every terminal.
    for (const char *setup : {"&\r", "*0\r", "@011\r", ">b\r", ">PS255\r"}) {
      PortWriteText(setup);
    }
  }
  DeviceState.nDeviceKind = kind;
  return kPortBase[port - 1];
}

int CloseSerial() {
  PortPurge(platform::kPurgeTxClear);
  PortPurge(platform::kPurgeRxClear);
  DeselectNetworkInterface(200);
  if (!Os().ComClose(ComPort())) return Fail(kErrClosePort);
  SetComPort(platform::kInvalidHandle);
  return 0;
}

// Only the network interface has terminals of its own to let go of.
void DeselectNetworkInterface(int32_t pauseMs) {
  if (DeviceState.nDeviceKind != DEV_SERIAL_NETWORK) return;
  PortWriteText(">P0\r");
  WaitMs(pauseMs);
}

const LinkFamily *FamilyOf(int32_t kind) {
  switch (kind) {
    case DEV_KOV74_MODE0:
    case DEV_KOV74_MODE1:
    case DEV_KOV74_MODE2:
      return &kKov74Family;
    case DEV_SERIAL_NETWORK:
    case DEV_SERIAL_DIRECT:
    case DEV_SERIAL_LOGON:
      return &kSerialFamily;
    case DEV_PELO:
      return &kPeloFamily;
    default:
      return nullptr;
  }
}

const LinkFamily &Link() { return *DeviceState.pFamily; }

void ForgetDevice() {
  DeviceState.nDeviceKind = DEV_NONE;
  DeviceState.pFamily = nullptr;
  bySelectedTerminal = NO_TERMINAL;
}

void ReleaseWinSock() {
  if (DeviceState.hWinSock != platform::kNoHandle) Os().ModuleFree(DeviceState.hWinSock);
  DeviceState.hWinSock = platform::kNoHandle;
  DeviceState.WinSockTable = platform::WinSockTable{};
  pfnWinSockLastError = nullptr;
}

Handle ComPort() { return reinterpret_cast<Handle>(hCommId); }

const char *PortName(int port) {
  // Its one caller opens a port InitCOMM has checked already: the test never holds.
  if (port < 1 || port > 4) return "";  // GCOVR_EXCL_BR_LINE
  if (portNames[port - 1][0] != '\0') return portNames[port - 1];
  return Os().DefaultPortName(port);
}

void ResetDeviceState() {
  DeviceState = DeviceRecord{};
  bySelectedTerminal = NO_TERMINAL;
  SetComPort(platform::kInvalidHandle);
  std::memset(portNames, 0, sizeof portNames);
}

}  // namespace veldc::device

using namespace veldc;
using namespace veldc::device;

extern "C" int VELDC_API InitCOMM(int port, int kind, int speed, int format) {
  meter::SetMeterModule(Os().SelfModule());
  ClearError();
  DropCancelRequest();
  std::strcpy(DeviceState.szPassword, kDefaultPassword);
  if (DeviceState.nDeviceKind != DEV_NONE) return Fail(kErrAlreadyInitialized);
  const LinkFamily *family = FamilyOf(kind);
  if (family == nullptr || !family->ArgumentsValid(port, kind, speed, format)) {
    return Fail(kErrWrongParameters);
  }
  const int result = family->Open(port, kind, speed, format);
  if (IsOpen()) DeviceState.pFamily = family;
  return result;
}

extern "C" int VELDC_API ExitCOMM(void) {
  ClearError();
  DropCancelRequest();
  if (!IsOpen()) return Fail(kErrNotInitialized);
  if (Link().Close() != 0) return -1;
  ForgetDevice();
  return 0;
}

extern "C" int VELDC_API SetPortName(int port, const char *name) {
  ClearError();
  if (port < 1 || port > 4 || (name != nullptr && std::strlen(name) > kPortNameMax))
    return Fail(kErrWrongParameters);
  if (name == nullptr) {
    portNames[port - 1][0] = '\0';
  } else {
    std::strcpy(portNames[port - 1], name);
  }
  return 0;
}
