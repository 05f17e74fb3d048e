#pragma once

#include <cstdint>

// Line settings of an open serial device, kept apart from the rest of the
// POSIX layer. On Linux they go through the termios2 ioctls, which set any
// speed, and where those are missing through the standard termios calls,
// which set only the speeds that have a Bxxxx constant. Their headers
// cannot be included together, so each way has a file of its own.
namespace ports {

// apply_line_settings results besides 0 and errno values: the device
// accepted the call but reads back something else than was asked, or the
// speed has no standard constant and the system no termios2 calls.
constexpr int SETTINGS_NOT_TAKEN = -1;
constexpr int SPEED_NEEDS_TERMIOS2 = -2;

// Puts the device into raw binary 8N1 at baud (hardware flow control left as
// found) and reads the settings back. Returns 0, an errno value,
// SETTINGS_NOT_TAKEN or SPEED_NEEDS_TERMIOS2.
int apply_line_settings(int fd, std::int32_t baud);

// A failed apply_line_settings result in words.
const char* line_settings_failure(int result);

// The two ways, with the same results; apply_line_settings picks one.
int apply_termios2(int fd, std::uint32_t baud);          // line_settings_linux.cpp
int apply_standard_termios(int fd, std::uint32_t baud);  // line_settings_termios.cpp

}  // namespace ports
