#include "kiss/line_settings_linux.h"

#include <gtest/gtest.h>

namespace {

// A device as we might find it: cooked, 7E2, XON/XOFF, hardware flow
// control on, at 1200 Bd.
termios2 cooked() {
    termios2 t{};
    t.c_iflag = ICRNL | IXON | IXOFF | ISTRIP | IGNCR;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    t.c_cflag = B1200 | CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    t.c_ispeed = t.c_ospeed = 1200;
    return t;
}

// A pseudo-terminal forces 8 bits and no parity whatever it is asked, so
// the framing we build is checked here rather than on one.
TEST(LineSettings, BuildsRawEightNoneOneAtAnySpeedKeepingFlowControl) {
    termios2 t = cooked();
    kiss::build_line_settings(t, 7200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0U);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cflag & (CRTSCTS | HUPCL), static_cast<tcflag_t>(CRTSCTS | HUPCL));
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(t.c_ospeed, 7200U);
    EXPECT_EQ(t.c_ispeed, 7200U);
    EXPECT_EQ(t.c_iflag, 0U);
    EXPECT_EQ(t.c_oflag & OPOST, 0U);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);
}

TEST(LineSettings, ReadBackMustMatchWithinTwoPercent) {
    termios2 wanted = cooked();
    kiss::build_line_settings(wanted, 115200);
    struct Case {
        const char* why;
        tcflag_t cflag_clear, cflag_set, oflag_set, iflag_set;
        unsigned speed;
        bool taken;
    };
    const Case cases[] = {
        {"exact", 0, 0, 0, 0, 115200, true},
        {"UART rounding under 2 %", 0, 0, 0, 0, 113636, true},
        {"3 % off", 0, 0, 0, 0, 111700, false},
        {"speed left as it was", 0, 0, 0, 0, 1200, false},
        {"seven bits", CSIZE, CS7, 0, 0, 115200, false},
        {"parity", 0, PARENB, 0, 0, 115200, false},
        {"two stop bits", 0, CSTOPB, 0, 0, 115200, false},
        {"output processing", 0, 0, OPOST, 0, 115200, false},
        {"XON/XOFF", 0, 0, 0, IXON, 115200, false},
    };
    for (const Case& c : cases) {
        termios2 actual = wanted;
        actual.c_cflag = (actual.c_cflag & ~c.cflag_clear) | c.cflag_set;
        actual.c_oflag |= c.oflag_set;
        actual.c_iflag |= c.iflag_set;
        actual.c_ospeed = c.speed;
        EXPECT_EQ(kiss::line_settings_taken(wanted, actual), c.taken) << c.why;
    }
}

}  // namespace
