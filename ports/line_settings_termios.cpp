// The standard termios calls, for a system without the termios2 ones (an
// old or emulated kernel): only the speeds that have a Bxxxx constant.
#include "ports/line_settings.h"

#include <termios.h>

#include "ports/raw_line.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace ports {

namespace {

struct StandardSpeed {
    std::uint32_t baud;
    speed_t constant;
};

// 7200 and 14400 Bd have none.
constexpr StandardSpeed standard_speeds[] = {
    {110, B110},     {300, B300},     {600, B600},       {1200, B1200},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

}  // namespace

int apply_standard_termios(int fd, std::uint32_t baud) {
    // Whether it is a terminal at all comes first: that is the better
    // reason when it is not.
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return errno;
    }
    const StandardSpeed* const speed =
        std::find_if(std::begin(standard_speeds), std::end(standard_speeds),
                     [baud](const StandardSpeed& s) { return s.baud == baud; });
    if (speed == std::end(standard_speeds)) {
        return SPEED_NEEDS_TERMIOS2;
    }
    raw_line::make_raw(settings);
    // An input speed of its own, such as one set through termios2, would
    // otherwise stay; none makes it follow the output speed.
    settings.c_cflag &= ~CIBAUD;
    if (cfsetispeed(&settings, speed->constant) != 0 ||
        cfsetospeed(&settings, speed->constant) != 0 || tcsetattr(fd, TCSANOW, &settings) != 0) {
        return errno;
    }
    // tcsetattr succeeds when any part of the settings took.
    termios actual{};
    if (tcgetattr(fd, &actual) != 0) {
        return errno;
    }
    return raw_line::raw_taken(settings, actual) && cfgetospeed(&actual) == speed->constant
               ? 0
               : SETTINGS_NOT_TAKEN;
}

}  // namespace ports
