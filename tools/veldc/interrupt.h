// SIGINT, SIGTERM and SIGHUP: the first asks the library to cancel (the command then ends as
// its own failures end, cleaning up on the terminal) and the tool stops after it; a second
// signal ends the tool at once.
#pragma once

namespace veldc::cli {

void CatchInterrupts();
// The signal caught, or 0.
int Interrupted();
// "SIGINT", "SIGTERM", "SIGHUP".
const char *SignalName(int signal);

}  // namespace veldc::cli
