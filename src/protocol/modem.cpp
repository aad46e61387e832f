// Dialling and hanging up a Hayes modem on the serial port. While these run, lines on the
// port come from the modem, not from addressed terminals.
#include <cstdio>
#include <cstring>

#include "core/errors.h"
#include "device/family.h"
#include "device/port.h"
#include "device/timing.h"
#include "protocol/exchange.h"
#include "veldc.h"

namespace veldc::protocol {
namespace {

using device::WaitMs;

constexpr size_t kMaxModemText = 32;

// Talking to the modem: replies unaddressed until the dialogue ends, on every way out.
class ModemDialogue {
 public:
  ModemDialogue() { bAddressedReplies = 0; }
  ~ModemDialogue() { bAddressedReplies = 1; }
  ModemDialogue(const ModemDialogue &) = delete;
  ModemDialogue &operator=(const ModemDialogue &) = delete;
};

void WriteLine(const char *text) {
  device::PortWriteText(text);
  device::PortWriteText("\r");
}

void DiscardInput() { device::PortPurge(platform::kPurgeRxClear); }

// The modem echoes each command line; `wrongEcho` is the step's own code.
bool EchoMatches(const char *sent, int32_t wrongEcho) {
  if (ReceiveLine(szReplyText, 1) != 0) {
    SetError(kErrModemEcho);
    return false;
  }
  if (std::strcmp(szReplyText, sent) != 0 || std::strstr(szReplyText, "ERROR") != nullptr) {
    SetError(wrongEcho);
    return false;
  }
  return true;
}

void ReadLines(int count, int64_t halfSeconds) {
  for (int i = 0; i < count; ++i) ReceiveLine(szReplyText, halfSeconds);
}

bool SerialOpen() {
  if (!device::IsOpen()) {
    SetError(kErrNotInitialized);
    return false;
  }
  if (!device::Link().carriesModem) {
    SetError(kErrWrongDevice);
    return false;
  }
  return true;
}

}  // namespace
}  // namespace veldc::protocol

using namespace veldc;
using namespace veldc::protocol;

extern "C" int VELDC_API DialNumber(const char *init, const char *number, int timeout) {
  ClearError();
  if (!SerialOpen()) return -1;
  if ((init != nullptr && std::strlen(init) > kMaxModemText) || number == nullptr ||
      std::strlen(number) < 1 || std::strlen(number) > kMaxModemText || timeout > 120 ||
      timeout < 0) {
    // A negative wait for carrier has no meaning to the modem.
    return Fail(kErrWrongParameters);
  }
  ModemDialogue dialogue;
  char setup[32];
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%d", timeout);
  seconds[3] = '\0';
  std::snprintf(setup, sizeof setup, "ATE1Q0S7=%s", seconds);

  device::PortWriteText("\r");
  WaitMs(750);
  device::PortClearError();
  DiscardInput();

  WriteLine(setup);
  WaitMs(750);
  DiscardInput();

  WriteLine(setup);
  if (!EchoMatches(setup, kErrModemInit)) return -1;
  ReadLines(2, 1);
  WaitMs(750);
  DiscardInput();

  if (init != nullptr && init[0] != '\0') {
    WriteLine(init);
    if (!EchoMatches(init, kErrModemInitReply)) return -1;
    ReadLines(2, 1);
    WaitMs(750);
    DiscardInput();
  }

  std::snprintf(szCommandText, sizeof szCommandText, "ATD%s", number);
  WriteLine(szCommandText);
  if (!EchoMatches(szCommandText, kErrDialEcho)) return -1;
  WaitMs(750);
  DiscardInput();

  const int64_t wait = static_cast<int64_t>(timeout) * 2;
  const CancellableWait carrier;
  if (ReceiveLine(szReplyText, wait) != 0 ||
      (std::strlen(szReplyText) < 7 && ReceiveLine(szReplyText, wait) != 0) ||
      std::strstr(szReplyText, "CONNECT") == nullptr) {
    if (nErrorCode != kErrCancelled) SetError(kErrDialReply);
    return -1;
  }
  return 0;
}

extern "C" int VELDC_API HangUp(void) {
  if (!SerialOpen()) return -1;
  ModemDialogue dialogue;
  WaitMs(1000);
  device::DeselectNetworkInterface(100);
  for (int attempt = 0; attempt < 2; ++attempt) {
    WaitMs(750);
    DiscardInput();
    szReplyText[0] = '\0';
    device::PortWriteText("+++");
    ReadLines(2, 5);
    if (std::strcmp(szReplyText, "OK") == 0) break;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    WaitMs(750);
    DiscardInput();
    WriteLine("ATH0");
    if (ReceiveLine(szReplyText, 1) != 0) return Fail(kErrModemEcho);
    ReceiveLine(szReplyText, 5);
    if (ReceiveLine(szReplyText, 5) == 0 && std::strcmp(szReplyText, "OK") == 0) {
      WaitMs(750);
      device::PortPurge(platform::kPurgeTxClear);
      DiscardInput();
      return 0;
    }
  }
  device::PortPurge(platform::kPurgeTxClear);
  DiscardInput();
  return Fail(kErrHangup);
}
