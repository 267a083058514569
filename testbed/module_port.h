// The pseudo-terminal that stands for the serial line, seen from the module's end: how its
// terminal settings read as PortSettings.
#pragma once

#include <termios.h>

#include "board.h"

namespace testbed {

// Baud rate of a termios speed code (B115200 -> 115200); 0 for a code this table lacks.
unsigned BaudOf(speed_t speed);
PortSettings ToPortSettings(const termios& settings);
bool SameSettings(const PortSettings& a, const PortSettings& b);

}  // namespace testbed
