// Calls of the public interface driven by the fuzzer's input, each followed by checks of what
// the library promises the host whatever the wire said: replies end within their buffers,
// counts stay in range, the error state is one of the table's codes. A broken promise aborts,
// which the fuzzer reports as a crash.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include "check.h"
#include "fuzz_peers.h"

namespace veldc::fuzz {

// One of SendCommand, GetMsgEx, PostCommand, GetResponse, ChgTerminal.
void ExchangeOp(FuzzedDataProvider &in);
// DialNumber or HangUp.
void ModemOp(FuzzedDataProvider &in);
// One terminal service: clock, parameters, drive, listing, view, delete, upload, download.
void ServiceOp(FuzzedDataProvider &in);
// GetError's code and message after any call.
void CheckErrorState();
// After any call: the PC files it opened are closed, once each, and no meter is left open.
void CheckCleanUp();

// Makes one of the next few calls of an OS or driver function fail (the port, the socket, PC
// files, the driver, the meter window), so that clean-up paths run too.
void FaultOp(FuzzedDataProvider &in);
// Runs up to `limit` operations picked by the fuzzer from the given kinds.
void RunOps(FuzzedDataProvider &in, int limit, bool exchange, bool modem, bool services);

}  // namespace veldc::fuzz
