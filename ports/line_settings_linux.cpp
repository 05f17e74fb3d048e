#include "ports/line_settings_linux.h"

#include "ports/line_settings.h"
#include "ports/raw_line.h"

#include <sys/ioctl.h>

#include <cerrno>

namespace ports {

namespace {

bool speed_close_enough(std::uint32_t wanted, std::uint32_t actual) {
    const std::uint32_t difference = wanted > actual ? wanted - actual : actual - wanted;
    return static_cast<std::uint64_t>(difference) * 50 < wanted;
}

}  // namespace

void build_line_settings(termios2& settings, std::uint32_t baud) {
    raw_line::make_raw(settings);
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;
}

bool line_settings_taken(const termios2& wanted, const termios2& actual) {
    return raw_line::raw_taken(wanted, actual) &&
           speed_close_enough(wanted.c_ospeed, actual.c_ospeed);
}

int apply_termios2(int fd, std::uint32_t baud) {
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return errno;
    }
    build_line_settings(settings, baud);
    if (ioctl(fd, TCSETS2, &settings) != 0) {
        return errno;
    }
    termios2 actual{};
    if (ioctl(fd, TCGETS2, &actual) != 0) {
        return errno;
    }
    return line_settings_taken(settings, actual) ? 0 : SETTINGS_NOT_TAKEN;
}

}  // namespace ports
