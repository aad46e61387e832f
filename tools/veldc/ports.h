// The serial devices a user can name in a link, as the kernel lists them.
#pragma once

#include <string>
#include <vector>

namespace veldc::cli {

struct SerialPort {
  std::string device;             // /dev/ttyUSB0
  std::vector<std::string> byId;  // /dev/serial/by-id/... names that lead to it
  std::string driver;             // the kernel driver (ftdi_sio, cdc_acm, serial8250)
  std::string description;        // maker and product of a USB adapter, when known
};

// The ttys of /sys/class/tty backed by a device: USB adapters, modems and UARTs that were
// found (an 8250 port the kernel merely reserved, with no UART behind it, is left out).
// `sysRoot` and `devRoot` are for tests.
std::vector<SerialPort> ListSerialPorts(const std::string &sysRoot = "/sys",
                                        const std::string &devRoot = "/dev");

}  // namespace veldc::cli
