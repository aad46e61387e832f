// The translation between the Windows device control block and termios, kept apart from the
// port calls so that tests can check the fields a pty cannot hold (data bits, parity).
#pragma once

#include <termios.h>

#include "platform/platform.h"

namespace veldc::platform::posix {

// The termios speed constant for a baud rate; false for a rate termios lacks.
bool SpeedFor(uint32_t baud, speed_t *speed);
// The baud rate of a termios speed constant (0 when unknown).
uint32_t BaudFor(speed_t speed);
// Raw mode with the block's speed, size, parity and software flow control, one stop bit.
// False (tio untouched) for a speed, byte size or parity termios cannot express.
bool ApplyComState(const ComState &state, termios *tio);
// What `tio` holds, as a control block.
ComState ReadComState(const termios &tio);

}  // namespace veldc::platform::posix
