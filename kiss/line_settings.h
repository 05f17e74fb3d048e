#pragma once

#include <cstdint>

// Line settings of an open serial device, kept apart from the rest of the
// POSIX layer: on Linux they go through the termios2 ioctls, whose header
// cannot be included together with <termios.h>.
namespace kiss {

// apply_line_settings result when the device accepted the call but reads
// back something else than was asked.
constexpr int SETTINGS_NOT_TAKEN = -1;

// Puts the device into raw binary 8N1 at baud (hardware flow control left as
// found) and reads the settings back. Returns 0, an errno value, or
// SETTINGS_NOT_TAKEN.
int apply_line_settings(int fd, std::int32_t baud);

}  // namespace kiss
