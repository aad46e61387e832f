// Posting a command without waiting for its reply, and collecting a reply that has arrived.
#include <cstring>

#include "core/errors.h"
#include "device/family.h"
#include "protocol/exchange.h"
#include "veldc.h"

using namespace veldc;
using namespace veldc::protocol;

extern "C" int VELDC_API PostCommand(const char *command) {
  ClearError();
  if (!ReadyForTerminal()) return -1;
  char text[kMaxCommand + 1] = "";
  if (command != nullptr) {
    if (std::strlen(command) > static_cast<size_t>(kMaxCommand)) return Fail(kErrWrongParameters);
    std::strcpy(text, command);
  }
  return device::Link().Post(text);
}

extern "C" int VELDC_API GetResponse(char *reply) {
  ClearError();
  if (reply == nullptr) return Fail(kErrWrongParameters);
  if (!ReadyForTerminal()) return -1;
  return device::Link().Collect(reply);
}
