#pragma once

// Linux only: includes <asm/termbits.h>, so never together with <termios.h>.
#include <asm/termbits.h>

#include <cstdint>

namespace ports {

// Turns the device's current settings into the ones we send with: any speed
// (BOTHER), 8 data bits, no parity, one stop bit, receiver on, modem lines
// ignored, and no processing of any kind in either direction. CRTSCTS and
// the other bits we have no business with stay as found.
void build_line_settings(termios2& settings, std::uint32_t baud);

// Whether what the device reports back is what we asked for. A UART that can
// only approximate the speed counts as set when it is less than 2 % off.
bool line_settings_taken(const termios2& wanted, const termios2& actual);

}  // namespace ports
