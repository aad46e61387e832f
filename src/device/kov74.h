// Calls into the terminal-network driver (KOV74C.DLL; libkov74c.so on POSIX). The driver is
// loaded when a Kov74 kind is opened, so hosts that never use it need not ship it.
#pragma once

namespace veldc::device {

namespace kov74 {
// The receive buffer handed to the driver's poll.
constexpr int kRecordSize = 260;
}  // namespace kov74

// Presence test, load and the five entry points; false (nothing kept) when any is missing.
bool Kov74Load();
void Kov74Unload();

int Kov74Open(int port, int mode, int option);
int Kov74SetSpeed(int speedCode);
int Kov74Close();
// 2: a message is in `record` (kov74::kRecordSize bytes; byte 0 the sender, text from byte 1,
// always ended within the buffer); 1: terminal present.
int Kov74Poll(int address, char *record);
// 0: sent.
int Kov74Send(int address, const char *text);

}  // namespace veldc::device
