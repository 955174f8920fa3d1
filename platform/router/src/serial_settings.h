// The line settings serial_open applies, as a pure function over a termios record.
#pragma once

#include <termios.h>

namespace router {

// Puts `tio` into raw mode with the given settings: baud rate (a standard rate from 50 to
// 4000000), data bits 5-8, stop bits 1 or 2, parity 0 none, 1 odd, 2 even, RTS/CTS when
// flow_control is non-zero. False, with `tio` untouched, for a setting out of range.
bool apply_serial_settings(termios &tio, int baud, int data_bits, int stop_bits, int parity, int flow_control);

} // namespace router
