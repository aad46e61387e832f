#include "platform/posix/serial_settings.h"

namespace veldc::platform::posix {

namespace {

struct SpeedEntry {
  uint32_t baud;
  speed_t speed;
};

const SpeedEntry kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

}  // namespace

bool SpeedFor(uint32_t baud, speed_t *speed) {
  for (const SpeedEntry &e : kSpeeds) {
    if (e.baud == baud) {
      *speed = e.speed;
      return true;
    }
  }
  return false;
}

uint32_t BaudFor(speed_t speed) {
  for (const SpeedEntry &e : kSpeeds) {
    if (e.speed == speed) return e.baud;
  }
  return 0;
}

bool ApplyComState(const ComState &state, termios *tio) {
  speed_t speed;
  if (!SpeedFor(state.BaudRate, &speed)) return false;
  if (state.ByteSize != 7 && state.ByteSize != 8) return false;
  if (state.Parity > kEvenParity) return false;
  termios t = *tio;
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP | ICRNL | INLCR |
                                      IGNCR | BRKINT | PARMRK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= static_cast<tcflag_t>(CLOCAL | CREAD);
  t.c_cflag |= state.ByteSize == 7 ? CS7 : CS8;
  if (state.Parity != kNoParity) {
    t.c_cflag |= PARENB;
    if (state.Parity == kOddParity) t.c_cflag |= PARODD;
  }
  if (state.fOutX) t.c_iflag |= IXON;
  if (state.fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = kXon;
  t.c_cc[VSTOP] = kXoff;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  *tio = t;
  return true;
}

ComState ReadComState(const termios &tio) {
  ComState s;
  s.BaudRate = BaudFor(cfgetospeed(&tio));
  s.fBinary = true;
  s.ByteSize = (tio.c_cflag & CSIZE) == CS7 ? 7 : (tio.c_cflag & CSIZE) == CS8 ? 8 : 0;
  if ((tio.c_cflag & CSIZE) == CS5) s.ByteSize = 5;
  if ((tio.c_cflag & CSIZE) == CS6) s.ByteSize = 6;
  s.fParity = (tio.c_cflag & PARENB) != 0;
  s.Parity = (tio.c_cflag & PARENB) == 0   ? kNoParity
             : (tio.c_cflag & PARODD) != 0 ? kOddParity
                                           : kEvenParity;
  s.StopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : kOneStopBit;
  s.fOutX = (tio.c_iflag & IXON) != 0;
  s.fInX = (tio.c_iflag & IXOFF) != 0;
  s.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
  s.fDtrControl = kDtrControlEnable;
  s.fRtsControl = kRtsControlEnable;
  s.XonChar = static_cast<char>(tio.c_cc[VSTART]);
  s.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
  return s;
}

}  // namespace veldc::platform::posix
