#pragma once

// The raw binary line that both ways of setting a device ask for, and the
// check of what it reports back. Included after <termios.h> or after
// <asm/termbits.h> (never both), which give these flags the same names and
// values; Settings is that header's termios or termios2.
namespace ports::raw_line {

// KISS is binary: a 0x13 from the TNC must never stop our output (IXON), a
// 0x0A must never leave as 0D 0A (OPOST), and nothing the TNC sends may be
// echoed back to it (ECHO).
constexpr tcflag_t INPUT_PROCESSING =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
constexpr tcflag_t LOCAL_PROCESSING = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t FRAMING = CSIZE | PARENB | CSTOPB;

// 8 data bits, no parity, one stop bit, receiver on, modem lines ignored,
// and no processing of any kind in either direction. CRTSCTS, the speed and
// the other bits we have no business with stay as found. A read that finds
// nothing then fails with EAGAIN, and gives 0 only once the device is gone
// (with VMIN 0 it would give 0 either way).
template <typename Settings>
void make_raw(Settings& settings) {
    settings.c_iflag &= ~INPUT_PROCESSING;
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~LOCAL_PROCESSING;
    settings.c_cflag &= ~FRAMING;
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
}

// Whether the device took what make_raw asked for; the speed is for the
// caller to compare.
template <typename Settings>
bool raw_taken(const Settings& wanted, const Settings& actual) {
    constexpr tcflag_t checked_cflags = FRAMING | CREAD | CLOCAL;
    return (actual.c_cflag & checked_cflags) == (wanted.c_cflag & checked_cflags) &&
           (actual.c_iflag & INPUT_PROCESSING) == 0 && (actual.c_oflag & OPOST) == 0 &&
           (actual.c_lflag & LOCAL_PROCESSING) == 0;
}

}  // namespace ports::raw_line
