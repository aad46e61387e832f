// The command frame of each link family.
#pragma once

namespace veldc::protocol {

// "%03d%s\r" on the network interface, the command and "\r" on the other serial kinds.
// `frame` takes 127 + 5 bytes; returns the frame's length.
int BuildSerialFrame(const char *command, char *frame);
// A data datagram in txDatagram with the next sequence number, its text by the link form.
void BuildPeloDatagram(const char *command);

}  // namespace veldc::protocol
