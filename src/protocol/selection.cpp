// Selecting a terminal: preparing the device, identifying the model, logging on, and the one
// model whose calendar year needs correcting.
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "device/family.h"
#include "protocol/exchange.h"
#include "protocol/values.h"
#include "veldc.h"

namespace veldc::protocol {

int32_t bSorvikModel = 0;

namespace {

using device::DeviceState;

bool NamesModel(const char *reply) {
  if (std::strstr(reply, "Veld") != nullptr) return true;
  if (std::strstr(reply, "Sorvik") != nullptr) {
    bSorvikModel = 1;
    return true;
  }
  return std::strstr(reply, "Dulm") != nullptr || std::strstr(reply, "Qyr") != nullptr;
}

}  // namespace

int RefuseTerminal(int32_t code) {
  bySelectedTerminal = NO_TERMINAL;
  return Fail(code);
}

int RescueTerminal(bool sendEot) {
  const int32_t failure = nErrorCode;
  if (sendEot) SendEot();
  if (std::strcmp(szReplyText, "..") == 0 && LogOnWithPassword(DeviceState.szPassword) == 0) {
    return 0;
  }
  return RefuseTerminal(failure);
}

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
  if (ReadParameter(89) != 0) return -1;
  return std::strcmp(ReadReplyValue(), password) == 0 ? 0 : -1;
}

void FixSorvikYear() {
  if (bSorvikModel == 0 || platform::Os().UtcYear() != 2000) return;
  char date[kReplySize];
  if (ReadClockValue("DATE", kErrDateIgnored, date) != 0) return;
  if (date[0] == '\0' || date[1] == '\0' || date[2] == '\0') return;
  if (date[1] == '0' && date[2] == '0') return;
  date[1] = date[2] = '0';
  WriteDate(date);
}

void ResetSelectionState() { bSorvikModel = 0; }

}  // namespace veldc::protocol

using namespace veldc;
using namespace veldc::protocol;

extern "C" int VELDC_API SetTerminal(int address) {
  ClearError();
  bLineEcho = 0;
  if (!device::IsOpen()) return Fail(kErrNotInitialized);
  if (address < 0 || address > 254) return RefuseTerminal(kErrWrongParameters);
  bySelectedTerminal = static_cast<uint8_t>(address);
  const device::LinkFamily &link = device::Link();
  const int prepared = link.Select(address);
  if (prepared < 0) return -1;
  if (prepared > 0 && IdentifyTerminal() != 0 && RescueTerminal(link.eotBeforeRescue) != 0) {
    return -1;
  }
  FixSorvikYear();
  return 0;
}

extern "C" int VELDC_API ChgTerminal(int address) {
  ClearError();
  if (!device::IsOpen()) return Fail(kErrNotInitialized);
  if (address < 0 || address > 254) return RefuseTerminal(kErrWrongParameters);
  bySelectedTerminal = static_cast<uint8_t>(address);
  return device::Link().Change(address);
}

extern "C" int VELDC_API SetPassword(const char *password) {
  if (password == nullptr) return -1;
  const size_t n = std::strlen(password);
  if (n == 0 || n > 5) return -1;
  std::strcpy(device::DeviceState.szPassword, password);
  return 0;
}
