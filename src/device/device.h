// The one open communication device and its settings.
#pragma once

#include <cstdint>

#include "device/family.h"
#include "platform/platform.h"
#include "veldc.h"

namespace veldc::device {

// The device kinds are the public header's DEV_* values (InitCOMM's second argument).
using DeviceKind = int32_t;

struct Kov74Driver {
  platform::Handle hModule = platform::kNoHandle;
  platform::Kov74OpenFn Open = nullptr;
  platform::Kov74SetSpeedFn SetSpeed = nullptr;
  platform::Kov74CloseFn Close = nullptr;
  platform::Kov74PollFn Poll = nullptr;
  platform::Kov74SendFn Send = nullptr;
};

// The COM port handle itself is the exported variable hCommId (veldc.h).
struct DeviceRecord {
  int32_t nDeviceKind = DEV_NONE;
  platform::WsSocket hSocket = platform::kWsInvalidSocket;
  platform::Handle hWinSock = platform::kNoHandle;
  platform::WinSockTable WinSockTable{};
  uint16_t wUdpPort = 0;
  char szPassword[6] = "";
  int32_t n232TimeOut = 10;
  uint32_t nWinSockTimeOut = 7000;
  Kov74Driver Kov74{};
  const LinkFamily *pFamily = nullptr;  // chosen by InitCOMM
};

extern DeviceRecord DeviceState;

// The selected terminal on the open device (the exchanges frame commands with it and check
// replies against it); kept here because opening and closing the device reset it.
constexpr uint8_t NO_TERMINAL = 255;
extern uint8_t bySelectedTerminal;

// Frees WSOCK32.DLL and forgets its entry points.
void ReleaseWinSock();

// The COM port of the open serial kind, as the platform handle.
platform::Handle ComPort();

inline bool IsOpen() { return DeviceState.nDeviceKind != DEV_NONE; }

// Name that COM port `port` (1..4) opens: SetPortName's choice or the platform's default.
const char *PortName(int port);

// The serial and Kov74 families' opening and closing (their table entries).
bool SerialArgumentsValid(int port, int kind, int speed, int format);
int OpenSerial(int port, int kind, int speed, int format);
int CloseSerial();
bool Kov74ArgumentsValid(int port, int kind, int speed, int format);
int OpenKov74(int port, int kind, int speed, int format);
int CloseKov74();
// Lets the network interface's terminals go (">P0") and pauses `pauseMs`; no other kind has
// anything to let go of.
void DeselectNetworkInterface(int32_t pauseMs);

// No device open any more: after a family's Close, or a link set-up that could not finish.
void ForgetDevice();

// Puts the device record, the selection and the port names back to their load-time values.
void ResetDeviceState();

}  // namespace veldc::device
