#include "tests/terminal.h"

#include <asm/termbits.h>  // termios2: every speed, not just the Bxxxx ones
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace terminal {

void make_cooked(const pty_run::VirtualPort& port, bool hardware_flow_control) {
    termios2 t{};
    ASSERT_EQ(ioctl(port.slave, TCGETS2, &t), 0);
    t.c_iflag |= IXON | IXOFF | ICRNL;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_cflag &= ~(CBAUD | CLOCAL | CRTSCTS);
    t.c_cflag |= B1200 | CSTOPB | PARENB | (hardware_flow_control ? CRTSCTS : 0);
    ASSERT_EQ(ioctl(port.slave, TCSETS2, &t), 0);
}

void expect_raw_line(const pty_run::VirtualPort& port, unsigned speed, bool hardware_flow_control) {
    termios2 t{};
    ASSERT_EQ(ioctl(port.slave, TCGETS2, &t), 0);
    EXPECT_EQ(t.c_ospeed, speed);
    EXPECT_EQ(t.c_ispeed, speed);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0U) << speed;
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD) << speed;
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, hardware_flow_control) << speed;
    EXPECT_EQ(t.c_oflag & OPOST, 0U) << speed;
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0U) << speed;
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0U) << speed;
}

// The line discipline frees some room shortly after the first refusal, so
// this keeps on until several rounds in a row took nothing.
void stall(const pty_run::VirtualPort& port) {
    termios2 t{};
    ASSERT_EQ(ioctl(port.slave, TCGETS2, &t), 0);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ICANON | ECHO);
    ASSERT_EQ(ioctl(port.slave, TCSETS2, &t), 0);
    fcntl(port.slave, F_SETFL, fcntl(port.slave, F_GETFL) | O_NONBLOCK);
    const std::string block(4096, 'x');
    for (int quiet_rounds = 0; quiet_rounds < 3;) {
        bool took = false;
        while (write(port.slave, block.data(), block.size()) > 0) {
            took = true;
        }
        quiet_rounds = took ? 0 : quiet_rounds + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace terminal
