#include "ports/line_settings.h"

#include <cerrno>
#include <cstring>

namespace ports {

int apply_line_settings(int fd, std::int32_t baud) {
    const auto speed = static_cast<std::uint32_t>(baud);
    const int result = apply_termios2(fd, speed);
    // ENOSYS is what user-mode emulators answer for an ioctl they do not
    // know, ENOTTY what a kernel answers; the standard calls then say
    // whether the device is a terminal at all.
    return result == ENOSYS || result == ENOTTY ? apply_standard_termios(fd, speed) : result;
}

const char* line_settings_failure(int result) {
    switch (result) {
    case SETTINGS_NOT_TAKEN:
        return "the device did not take the line settings";
    case SPEED_NEEDS_TERMIOS2:
        return "the system lacks the termios2 calls that this speed needs";
    default:
        return std::strerror(result);
    }
}

}  // namespace ports
