// Selecting a terminal: preparing the device, identifying the model, logging on, and the one
// model whose calendar year needs correcting.
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "device/kov74.h"
#include "device/port.h"
#include "device/timing.h"
#include "pelo/link.h"
#include "protocol/exchange.h"
#include "veldc.h"

namespace veldc::protocol {

int32_t bSorvikModel = 0;

namespace {

using device::DeviceState;
using device::Family;
using pelo::PeloLink;

int Refuse(int32_t code) {
  bySelectedTerminal = NO_TERMINAL;
  return Fail(code);
}

int SendEot() { return SendCommandText(kEotCommand, szReplyText); }

bool NamesModel(const char *reply) {
  if (std::strstr(reply, "Veld") != nullptr) return true;
  if (std::strstr(reply, "Sorvik") != nullptr) {
    bSorvikModel = 1;
    return true;
  }
  return std::strstr(reply, "Dulm") != nullptr || std::strstr(reply, "Qyr") != nullptr;
}

// The terminal stops sending what it had queued: up to three rounds of "anything more?".
void Quieten() {
  for (int round = 0; round < 3; ++round) {
    if (ReceiveLine(szReplyText, 4) != 0) return;
    ReceiveLine(szReplyText, 4);
    SendEot();
    ReceiveLine(szReplyText, 4);
  }
}

void SelectOnNetworkInterface(int address) {
  device::PortTransmitChar(0x11);  // XON, in case the interface was held
  device::WaitMs(2000);
  device::PortPurge(platform::kPurgeRxClear);
  char select[16];
  std::snprintf(select, sizeof select, ">PS%03d\r", address);
  device::PortWriteText(select);
  device::WaitMs(100);
}

// Which addresses the Pelo's link form allows; 0 when allowed, else the refusal's code.
int32_t PeloAddressRefusal(int address) {
  switch (PeloLink.nLinkForm) {
    case pelo::PELO_FORM_NONE:
      return kErrNoSelectedPelo;
    case pelo::PELO_FORM_NETWORK:
      return address < 1 ? kErrWrongParameters : 0;
    case pelo::PELO_FORM_SINGLE:
      return address != 0 ? kErrWrongParameters : 0;
    default:
      return 0;
  }
}

// Identification failed with the code now set: the terminal may be waiting for its password.
int Rescue(bool sendEot) {
  const int32_t failure = nErrorCode;
  if (sendEot) SendEot();
  if (std::strcmp(szReplyText, "..") == 0 && LogOnWithPassword(DeviceState.szPassword) == 0) {
    return 0;
  }
  return Refuse(failure);
}

int LogonLineProcedure(int address) {
  if (ExchangeF("LOGOFF") != 0) {
    if (IdentifyTerminal() != 0 && Rescue(true) != 0) return -1;
    if (ExchangeF("LOGOFF") != 0) {
      bySelectedTerminal = NO_TERMINAL;
      return -1;
    }
  }
  if (std::strcmp(szReplyText, "LOGOFF") != 0 && std::strcmp(szReplyText, "LOGOFF ??") != 0)
    return Fail(kErrLogoffReply);
  if (address != 0) {
    std::snprintf(szCommandText, sizeof szCommandText, "%s %03d", "LOGON", address);
    for (int attempt = 0;; ++attempt) {
      if (Exchange() != 0) return -1;
      if (Echoed()) break;
      if (attempt == 1) return Fail(kErrLogonReply);
    }
    ReceiveLine(szReplyText, 1);  // a line that may follow the echo
  }
  if (IdentifyTerminal() != 0) {
    bySelectedTerminal = NO_TERMINAL;
    return -1;
  }
  return 0;
}

// Prepares the device so the terminal can be reached; 1 to go on with the identification,
// 0 when the log-on line procedure has already done it, -1 on failure.
int Prepare(int address) {
  switch (device::OpenFamily()) {
    case Family::kKov74: {
      if (address < 1) return Refuse(kErrWrongParameters);
      for (int poll = 0; poll < 10; ++poll) {
        const int r = device::Kov74Poll(address, szRecord);
        if (r == 1) return 1;
        if (r == 2) {
          SendEot();
          device::Kov74Poll(address, szRecord);
        }
      }
      return Refuse(kErrCannotTalk);
    }
    case Family::kSerial:
      switch (DeviceState.nDeviceKind) {
        case DEV_SERIAL_NETWORK:
          if (address < 1) return Refuse(kErrWrongParameters);
          SelectOnNetworkInterface(address);
          return 1;
        case DEV_SERIAL_DIRECT:
          if (address != 0) return Refuse(kErrWrongParameters);
          ExchangeF("QRX");
          bLineEcho = std::strcmp(szReplyText, "QRX") == 0 ? 1 : 0;
          SendCommandText("", szReplyText);
          Quieten();
          return 1;
        default:  // DEV_SERIAL_LOGON
          if (address > 31) return Refuse(kErrWrongParameters);
          SendCommandText("", szReplyText);
          SendCommandText("", szReplyText);
          Quieten();
          device::PortPurge(platform::kPurgeTxClear);
          device::PortPurge(platform::kPurgeRxClear);
          return LogonLineProcedure(address);
      }
    case Family::kPelo: {
      PeloLink.wLastDataSeq = 0xFFFF;
      if (const int32_t refusal = PeloAddressRefusal(address)) return Refuse(refusal);
      if (SendCommandText("", szReplyText) == 0 && std::strstr(szReplyText, "Veld") == nullptr &&
          std::strstr(szReplyText, "Dulm") == nullptr &&
          std::strstr(szReplyText, "Sorvik") == nullptr &&
          std::strstr(szReplyText, "Qy") == nullptr) {
        SendEot();
        ReceiveLine(szReplyText, 20);
      }
      return 1;
    }
    case Family::kNone:
      break;
  }
  return Refuse(kErrNotInitialized);
}

}  // namespace

int IdentifyTerminal() {
  if (ExchangeF("%%XI") == 0 && NamesModel(szReplyText)) return 0;
  if (SendEot() != 0 || ExchangeF("%%%%") != 0) return Fail(kErrResetIgnored);
  if (std::strstr(szReplyText, "!!!") == nullptr) return Fail(kErrResetNotPerformed);
  if (ExchangeF("%%XI") != 0) return Fail(kErrNoIdReply);
  if (NamesModel(szReplyText)) return 0;
  return Fail(kErrBadIdReply);
}

int LogOnWithPassword(const char *password) {
  ExchangeF("PW %s", password);
  if (GetParameter(89, szCommandText) != 0) return -1;
  return std::strcmp(szCommandText, password) == 0 ? 0 : -1;
}

void FixSorvikYear() {
  if (bSorvikModel == 0 || platform::Os().UtcYear() != 2000) return;
  char date[kReplySize];
  if (GetDate(date) != 0) return;
  if (date[0] == '\0' || date[1] == '\0' || date[2] == '\0') return;
  if (date[1] == '0' && date[2] == '0') return;
  date[1] = date[2] = '0';
  SetDate(date);
}

void ResetSelectionState() { bSorvikModel = 0; }

}  // namespace veldc::protocol

using namespace veldc;
using namespace veldc::protocol;

extern "C" int VELDC_API SetTerminal(int address) {
  ClearError();
  bLineEcho = 0;
  if (!device::IsOpen()) return Fail(kErrNotInitialized);
  if (address < 0 || address > 254) return Refuse(kErrWrongParameters);
  bySelectedTerminal = static_cast<uint8_t>(address);
  const int prepared = Prepare(address);
  if (prepared < 0) return -1;
  if (prepared > 0 && IdentifyTerminal() != 0 &&
      Rescue(device::OpenFamily() != device::Family::kKov74) != 0) {
    return -1;
  }
  FixSorvikYear();
  return 0;
}

extern "C" int VELDC_API ChgTerminal(int address) {
  ClearError();
  if (!device::IsOpen()) return Fail(kErrNotInitialized);
  if (address < 0 || address > 254) return Refuse(kErrWrongParameters);
  bySelectedTerminal = static_cast<uint8_t>(address);
  switch (device::DeviceState.nDeviceKind) {
    case DEV_SERIAL_NETWORK:
      if (address < 1) return Refuse(kErrWrongParameters);
      SelectOnNetworkInterface(address);
      return 0;
    case DEV_SERIAL_DIRECT:
      return address == 0 ? 0 : Refuse(kErrWrongParameters);
    case DEV_SERIAL_LOGON:
      if (address > 31) return Refuse(kErrWrongParameters);
      if (address == 0) {
        ExchangeF("LOGOFF");
      } else {
        ExchangeF("%s %03d", "LOGON", address);
      }
      return 0;
    case DEV_PELO:
      PeloLink.wLastDataSeq = 0xFFFF;
      if (const int32_t refusal = PeloAddressRefusal(address)) return Refuse(refusal);
      return 0;
    default:  // the Kov74 kinds
      return address >= 1 ? 0 : Refuse(kErrWrongParameters);
  }
}

extern "C" int VELDC_API SetPassword(const char *password) {
  if (password == nullptr) return -1;
  const size_t n = std::strlen(password);
  if (n == 0 || n > 5) return -1;
  std::strcpy(device::DeviceState.szPassword, password);
  return 0;
}
