// The built program against a pseudo-terminal: octets, console, exit status,
// line settings and the device faults. UIPACER_TEST_PROGRAM is the program
// built with its ComN ports mapped to links in UIPACER_TEST_DEVICE_DIR.
#include "tests/hex.h"
#include "tests/program_expectations.h"
#include "tests/pty_run.h"
#include "tests/temp_files.h"
#include "tests/terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using expectations::announcement;
using expectations::banner;
using expectations::usage;
using pty_run::Program;
using pty_run::VirtualPort;
using terminal::expect_raw_line;
using terminal::make_cooked;
using terminal::stall;

const std::string test_program = UIPACER_TEST_PROGRAM;
const std::string real_program = UIPACER_PROGRAM;
const std::string quick_pause_program = UIPACER_QUICK_PAUSE_PROGRAM;
const std::string monitor_program = UIPACER_MONITOR_PROGRAM;
const std::string device_dir = UIPACER_TEST_DEVICE_DIR;

std::string device(int com) { return device_dir + "/ttyS" + std::to_string(com - 1); }

// Makes ComN name target (nothing, when target is empty).
void point(int com, const std::string& target) {
    mkdir(device_dir.c_str(), 0755);
    unlink(device(com).c_str());
    if (!target.empty()) {
        ASSERT_EQ(symlink(target.c_str(), device(com).c_str()), 0);
    }
}

std::string octets_of(const Program& p) { return hex(p.octets.data(), p.octets.size()); }

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = pty_run::open_virtual_port();
        point(1, port.slave_path);
    }
    void TearDown() override { pty_run::close_virtual_port(port); }
    VirtualPort port;
};

TEST(RealProgram, ChecksArgumentsBeforeTouchingAnyDevice) {
    for (const expectations::Arguments& c :
         expectations::argument_cases(write_temp_file("args.txt", "A>B:i\n"))) {
        const Program p = pty_run::run(real_program, c.args, nullptr);
        EXPECT_EQ(p.status, c.status) << c.console;
        EXPECT_EQ(p.console, banner + c.console);
    }
}

TEST(RealProgram, MapsComFourToTheFourthSerialDevice) {
    if (access("/dev/ttyS3", F_OK) == 0) {
        GTEST_SKIP() << "this machine has a /dev/ttyS3; not touching it";
    }
    const Program p =
        pty_run::run(real_program, {write_temp_file("empty.txt", ""), "4", "9600", "1"}, nullptr);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(
        p.console,
        banner + "\nUnable to open serial port Com4 (/dev/ttyS3: No such file or directory).\n");
}

TEST_F(ProgramTest, SendsEveryLineAsAnExactKissFrameThenPauses) {
    point(2, port.slave_path);
    const std::string input = write_temp_file("frames.txt", expectations::file_content());
    Program p = pty_run::start(test_program, {input, "2", "9600", "1"});
    pty_run::finish(p, &port);
    const double elapsed = pty_run::now_s() - p.started;

    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.console, expectations::console());
    ASSERT_EQ(octets_of(p), expectations::octets());

    // No pause before the first frame, one after each, the last included.
    std::size_t start = 0;
    EXPECT_LT(p.arrival[0], 0.5);
    for (const expectations::Frame& f : expectations::frames) {
        const std::size_t length = (std::string(f.octets).size() + 1) / 3;
        if (start > 0) {
            const double gap = p.arrival[start] - p.arrival[start - 1];
            EXPECT_GT(gap, 0.9) << "before the frame of " << f.line;
            EXPECT_LT(gap, 2.0) << "before the frame of " << f.line;
        }
        start += length;
    }
    EXPECT_GT(elapsed - p.arrival.back(), 0.9);
}

// Then again on a system without termios2 (a preloaded shim fails its
// calls), where only the speeds without a Bxxxx constant are refused.
TEST_F(ProgramTest, SetsEverySpeedRawEightNoneOneAndLeavesHardwareFlowControl) {
    const std::string empty = write_temp_file("empty.txt", "");
    for (const char* preload : {"", UIPACER_NO_TERMIOS2}) {
        for (std::size_t i = 0; i < std::size(app::accepted_baud_rates); ++i) {
            const char* text = app::accepted_baud_rates[i];
            const unsigned speed = static_cast<unsigned>(std::stoul(text));
            const bool hardware_flow_control = i % 2 == 0;  // on and off in turn
            make_cooked(port, hardware_flow_control);
            setenv("LD_PRELOAD", preload, 1);
            const Program p = pty_run::run(test_program, {empty, "1", text, "1"}, &port);
            unsetenv("LD_PRELOAD");
            if (*preload != '\0' && (speed == 7200 || speed == 14400)) {
                EXPECT_EQ(p.status, 1);
                EXPECT_EQ(p.console, banner + "\nUnable to configure serial port Com1 (" +
                                         device(1) +
                                         ": the system lacks the termios2 calls that this "
                                         "speed needs).\n");
                continue;
            }
            ASSERT_EQ(p.status, 0) << p.console;
            EXPECT_EQ(p.console, banner);
            expect_raw_line(port, speed, hardware_flow_control);
        }
    }
}

TEST_F(ProgramTest, HoldsThePortRawAndExclusivelyAndShowsEachFrameAsItGoes) {
    const std::string input = write_temp_file("one.txt", "A>B:i\n");
    make_cooked(port, true);
    Program p = pty_run::start(test_program, {input, "1", "9600", "1"});
    pty_run::collect(p, &port, 21, 5);  // the whole frame; the pause has begun
    ASSERT_EQ(p.octets.size(), 21U);
    pty_run::collect(p, &port, SIZE_MAX, 0.1);
    EXPECT_EQ(p.console, banner + announcement("A>B:i\n")) << "console not flushed";

    expect_raw_line(port, 9600, true);
    int exclusive = 0;
    ASSERT_EQ(ioctl(port.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_NE(flock(port.slave, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);

    pty_run::finish(p, &port);
    EXPECT_EQ(p.status, 0);
    ASSERT_EQ(ioctl(port.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(flock(port.slave, LOCK_EX | LOCK_NB), 0);
}

TEST_F(ProgramTest, RefusesDevicesItCannotHaveAndUnreadableInput) {
    const std::string input = write_temp_file("one.txt", "A>B:i\n");
    struct Case {
        const char* why;
        std::string target;  // what Com1 names
        bool held;           // another program holds the port
        std::string input;
        std::string console;
    };
    const Case cases[] = {
        {"missing device", "", false, input,
         "\nUnable to open serial port Com1 (" + device(1) + ": No such file or directory).\n"},
        {"held by another program", port.slave_path, true, input,
         "\nUnable to open serial port Com1 (" + device(1) + ": Device or resource busy).\n"},
        {"not a terminal", "/dev/null", false, input,
         "\nUnable to open serial port Com1 (" + device(1) +
             ": Inappropriate ioctl for device).\n"},
        {"input is a directory", port.slave_path, false, temp_dir(),
         "\nUnable to read input file " + temp_dir() + ".\n"},
    };
    for (const Case& c : cases) {
        point(1, c.target);
        if (c.held) {
            ASSERT_EQ(flock(port.slave, LOCK_EX | LOCK_NB), 0);
        }
        const Program p = pty_run::run(test_program, {c.input, "1", "9600", "1"}, &port);
        flock(port.slave, LOCK_UN);
        EXPECT_EQ(p.status, 1) << c.why;
        EXPECT_EQ(p.console, banner + c.console) << c.why;
        EXPECT_TRUE(p.octets.empty()) << c.why;
    }

    // Held exclusively, without a lock: refused whoever runs us, root too,
    // and the other program's claim is left as it was.
    point(1, port.slave_path);
    ASSERT_EQ(ioctl(port.slave, TIOCEXCL), 0);
    const Program p = pty_run::run(test_program, {input, "1", "9600", "1"}, &port);
    int exclusive = 0;
    ASSERT_EQ(ioctl(port.slave, TIOCGEXCL, &exclusive), 0);
    ioctl(port.slave, TIOCNXCL);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.console, banner + "\nUnable to open serial port Com1 (" + device(1) +
                             ": Device or resource busy).\n");
    EXPECT_TRUE(p.octets.empty());
    EXPECT_EQ(exclusive, 1);
}

// Nothing but frames reaches the port, whatever becomes of the console: not
// when the program starts with its console descriptors closed (the file and
// the device must not take them), nor when the reader of its output goes.
TEST_F(ProgramTest, AConsoleThatCannotBeWrittenChangesNoFrame) {
    const std::string input = write_temp_file("frames.txt", expectations::file_content());
    for (const bool closed : {true, false}) {
        Program p = pty_run::start(quick_pause_program, {input, "1", "9600", "1"},
                                   closed ? pty_run::closed_console : "");
        if (!closed) {
            close(p.console_fd);  // as `uipacer ... | head -c 1` leaves it
            p.console_fd = -1;
        }
        pty_run::finish(p, &port);
        EXPECT_EQ(p.status, 0) << closed;
        EXPECT_EQ(octets_of(p), expectations::octets()) << closed;
    }
}

// A signal to stop, during the pause or while a frame is being written (long
// frames, back to back), ends the run after a whole frame, releases the port
// and says how far the file got.
TEST_F(ProgramTest, AStopFinishesTheFrameAndReleasesThePort) {
    const std::string pausing = write_temp_file("pausing.txt", "A>B:i\nA>B:j\n");
    std::string content;
    for (int i = 0; i < 50; ++i) {
        content += std::string(1023, ',') + "\n";
    }
    const std::string long_frames = write_temp_file("long.txt", content);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        for (const bool mid_frame : {false, true}) {
            const std::string why = std::to_string(signal) + (mid_frame ? " mid-frame" : "");
            Program p = pty_run::start(mid_frame ? quick_pause_program : test_program,
                                       {mid_frame ? long_frames : pausing, "1", "9600", "5"});
            pty_run::collect(p, &port, mid_frame ? 10000 : 21, 5);
            ASSERT_EQ(kill(p.pid, signal), 0);
            const double signalled = pty_run::now_s();
            pty_run::finish(p, &port);
            EXPECT_LT(pty_run::now_s() - signalled, 1.0) << why;
            EXPECT_EQ(p.status, 128 + signal) << why;

            // Each frame is its FEND, octets without one, and its FEND.
            const auto end = std::find(p.octets.begin() + 1, p.octets.end(), 0xC0);
            const std::size_t frame_length = static_cast<std::size_t>(end - p.octets.begin()) + 1;
            const std::size_t frames = p.octets.size() / frame_length;
            EXPECT_EQ(p.octets.size() % frame_length, 0U) << why << ": a frame was cut";
            const std::string name = signal == SIGINT    ? "SIGINT"
                                     : signal == SIGTERM ? "SIGTERM"
                                                         : "SIGHUP";
            const std::string said =
                "\nRun stopped by " + name + " after frame " + std::to_string(frames) + ".\n";
            EXPECT_EQ(p.console.substr(p.console.size() - std::min(p.console.size(), said.size())),
                      said)
                << why;
            int exclusive = 1;
            ASSERT_EQ(ioctl(port.slave, TIOCGEXCL, &exclusive), 0);
            EXPECT_EQ(exclusive, 0) << why << ": the port is still held";
        }
    }
}

// The TNC passes on what it hears all the time: KISS frames flow towards the
// program throughout a run, and it must take them without missing a beat,
// over a device path or over TCP.
TEST_F(ProgramTest, ReachesTheTncByDevicePathOrTcpWhileItTalksBack) {
    const std::string input = write_temp_file("frames.txt", expectations::file_content());
    for (const bool tcp : {false, true}) {
        pty_run::TcpTnc tnc = tcp ? pty_run::listen_tcp() : pty_run::TcpTnc{};
        Program p =
            pty_run::start(test_program, {input, tcp ? tnc.address : port.slave_path, "9600", "1"});
        if (tcp) {
            pty_run::accept_tcp(tnc);
        }
        VirtualPort& link = tcp ? tnc.link : port;
        pty_run::collect(p, &link, 1, 5);  // the line is raw now: nothing comes back as echo
        const double waited = pty_run::talk_back(link, [&] { pty_run::finish(p, &link); });
        EXPECT_EQ(p.status, 0) << tcp;
        EXPECT_EQ(p.console, expectations::console()) << tcp;
        EXPECT_EQ(octets_of(p), expectations::octets()) << tcp;
        EXPECT_LT(waited, 0.5) << tcp << ": what the TNC sent was not taken";
        if (tcp) {
            close(tnc.link.master);
        }
    }
}

TEST_F(ProgramTest, ATcpTncThatFailsEndsTheRunWithStatusOne) {
    std::string content;
    for (int i = 0; i < 20000; ++i) {
        content += "A>B:" + std::string(80, 'x') + "\n";
    }
    const std::string input = write_temp_file("many.txt", content);
    const std::string frame = announcement("A>B:" + std::string(80, 'x') + "\n");
    enum class Peer { absent, closes, never_reads };
    for (const Peer peer : {Peer::absent, Peer::closes, Peer::never_reads}) {
        pty_run::TcpTnc tnc = pty_run::listen_tcp();
        if (peer == Peer::absent) {
            close(tnc.listener);
        }
        Program p = pty_run::start(peer == Peer::never_reads ? quick_pause_program : test_program,
                                   {input, tnc.address, "9600", "1"});
        if (peer != Peer::absent) {
            pty_run::accept_tcp(tnc);
        }
        if (peer == Peer::closes) {
            pty_run::collect(p, &tnc.link, 100, 5);
            close(tnc.link.master);
        }
        pty_run::finish(p, nullptr, 30);
        close(tnc.link.master);
        EXPECT_EQ(p.status, 1);
        const std::string why = peer == Peer::absent   ? "Connection refused"
                                : peer == Peer::closes ? "the TNC closed the connection"
                                                       : "the TNC took nothing for 60 ms an octet";
        const std::string said = (peer == Peer::absent ? "\nUnable to connect to KISS TNC "
                                                       : "\nUnable to write to KISS TNC ") +
                                 tnc.address + " (" + why + ").\n";
        EXPECT_EQ(p.console.substr(p.console.size() - std::min(p.console.size(), said.size())),
                  said);
        if (peer == Peer::closes) {
            EXPECT_EQ(p.console, banner + frame + frame + said);  // NOLINT(performance-*)
        }
    }
}

TEST_F(ProgramTest, AStalledDeviceEndsTheRunAtOnceWithStatusOne) {
    stall(port);
    const std::string input = write_temp_file("two.txt", "A>B:i\nA>B:j\n");
    Program p = pty_run::start(test_program, {input, "1", "9600", "5"});
    pty_run::finish(p, nullptr);  // reading the master would unstall it
    const double elapsed = pty_run::now_s() - p.started;
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.console, banner + announcement("A>B:i\n") +
                             "\nUnable to write to serial port Com1 (" + device(1) +
                             ": no octet taken within 60 ms).\n");
    EXPECT_LT(elapsed, 2.0) << "paused or hung at close";

    // Discarding the unsent output empties the terminal's queue but for
    // what its line discipline already holds.
    std::size_t left = 0;
    char buffer[4096];
    for (ssize_t n; (n = read(port.master, buffer, sizeof buffer)) > 0;) {
        left += static_cast<std::size_t>(n);
    }
    EXPECT_LE(left, 4096U) << "unsent output left in the queue";
}

TEST_F(ProgramTest, AHangUpEndsTheRunWithStatusOne) {
    const std::string input = write_temp_file("two.txt", "A>B:i\nA>B:j\n");
    Program p = pty_run::start(test_program, {input, "1", "9600", "1"});
    pty_run::collect(p, &port, 21, 5);
    ASSERT_EQ(p.octets.size(), 21U);
    close(port.master);  // the TNC goes away during the pause
    port.master = -1;
    pty_run::finish(p, &port);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.console, banner + announcement("A>B:i\n") + announcement("A>B:j\n") +
                             "\nUnable to write to serial port Com1 (" + device(1) +
                             ": Input/output error).\n");
}

// Every example file goes out as it stands and decodes back, frame by frame,
// to its lines: each follows the TNC2 grammar, and the monitor agrees.
TEST(Examples, EachIsSentAndDecodesBackToItsLines) {
    for (const auto& entry : std::filesystem::directory_iterator(UIPACER_EXAMPLES_DIR)) {
        std::ifstream file(entry.path());
        std::vector<std::string> expected;
        for (std::string line; std::getline(file, line);) {
            expected.push_back(line + "<0x0A>");  // the line feed goes on the air
        }
        const std::string name = entry.path().filename();
        point(1, "");
        Program monitor = pty_run::start(monitor_program,
                                         {"-n", std::to_string(expected.size()), "-l", device(1)});
        for (int tries = 0; tries < 500 && access(device(1).c_str(), F_OK) != 0; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const Program p =
            pty_run::run(quick_pause_program, {entry.path(), "1", "9600", "1"}, nullptr);
        EXPECT_EQ(p.status, 0) << name << p.console;
        pty_run::finish(monitor, nullptr, 10);
        EXPECT_EQ(monitor.status, 0) << name;

        // After the line that names the link, one line per frame, each
        // behind its time of arrival, HH:MM:SS.mmm.
        std::istringstream lines(monitor.console);
        std::string line;
        std::getline(lines, line);
        std::vector<std::string> decoded;
        while (std::getline(lines, line)) {
            decoded.push_back(line.size() > 13 ? line.substr(13) : line);
        }
        EXPECT_EQ(decoded, expected) << name;
    }
}

#ifdef UIPACER_HEAP_COUNTER
// The program allocates nothing of its own: a file of a thousand lines
// takes no more heap allocations, and no more memory, than a file of one.
TEST_F(ProgramTest, NeitherHeapNorMemoryGrowsWithTheFile) {
    struct Use {
        std::string allocations;
        long peak_kb;
    };
    const auto measure = [this](int lines) {
        std::string content;
        for (int i = 0; i < lines; ++i) {
            content += "N0CALL-9>APRS,WIDE1-1*,WIDE2-2:>line " + std::to_string(i % 10) + "\n";
        }
        const std::string input = write_temp_file("lines.txt", content);
        const std::string report = temp_dir() + "heap.txt";
        setenv("LD_PRELOAD", UIPACER_HEAP_COUNTER, 1);
        setenv("UIPACER_HEAP_REPORT", report.c_str(), 1);
        Program p = pty_run::start(quick_pause_program, {input, "1", "115200", "1"});
        unsetenv("LD_PRELOAD");
        unsetenv("UIPACER_HEAP_REPORT");
        pty_run::finish(p, &port, 60);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.octets.size(), 41U * static_cast<std::size_t>(lines));
        std::ifstream file(report);
        Use use{"", p.peak_kb};
        std::getline(file, use.allocations);
        return use;
    };
    const Use one = measure(1);
    const Use thousand = measure(1000);
    ASSERT_FALSE(one.allocations.empty()) << "no report from the heap counter";
    EXPECT_EQ(thousand.allocations, one.allocations);
    // The resident size wanders by some 200 kB from run to run.
    EXPECT_LT(thousand.peak_kb - one.peak_kb, 512) << one.peak_kb << " kB for one line";
}
#endif

}  // namespace
