#include "kiss/line_settings_linux.h"

#include "kiss/line_settings.h"

#include <sys/ioctl.h>

#include <cerrno>

namespace kiss {

namespace {

// KISS is binary: a 0x13 from the TNC must never stop our output (IXON), a
// 0x0A must never leave as 0D 0A (OPOST), and nothing the TNC sends may be
// echoed back to it (ECHO).
constexpr tcflag_t INPUT_PROCESSING =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
constexpr tcflag_t LOCAL_PROCESSING = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t FRAMING = CSIZE | PARENB | CSTOPB;

bool speed_close_enough(std::uint32_t wanted, std::uint32_t actual) {
    const std::uint32_t difference = wanted > actual ? wanted - actual : actual - wanted;
    return static_cast<std::uint64_t>(difference) * 50 < wanted;
}

}  // namespace

void build_line_settings(termios2& settings, std::uint32_t baud) {
    settings.c_iflag &= ~INPUT_PROCESSING;
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~LOCAL_PROCESSING;
    settings.c_cflag &= ~(FRAMING | CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = baud;
    settings.c_ospeed = baud;
}

bool line_settings_taken(const termios2& wanted, const termios2& actual) {
    constexpr tcflag_t checked_cflags = FRAMING | CREAD | CLOCAL;
    return (actual.c_cflag & checked_cflags) == (wanted.c_cflag & checked_cflags) &&
           (actual.c_iflag & INPUT_PROCESSING) == 0 && (actual.c_oflag & OPOST) == 0 &&
           (actual.c_lflag & LOCAL_PROCESSING) == 0 &&
           speed_close_enough(wanted.c_ospeed, actual.c_ospeed);
}

int apply_line_settings(int fd, std::int32_t baud) {
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return errno;
    }
    build_line_settings(settings, static_cast<std::uint32_t>(baud));
    if (ioctl(fd, TCSETS2, &settings) != 0) {
        return errno;
    }
    termios2 actual{};
    if (ioctl(fd, TCGETS2, &actual) != 0) {
        return errno;
    }
    return line_settings_taken(settings, actual) ? 0 : SETTINGS_NOT_TAKEN;
}

}  // namespace kiss
