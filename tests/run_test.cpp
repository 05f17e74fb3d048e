#include "app/run.h"
#include "tests/fake_serial.h"
#include "tests/program_expectations.h"
#include "tests/temp_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using expectations::announcement;
using expectations::banner;
using expectations::usage;

const std::string one_frame_octets =
    "octets C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 69 0A C0";

struct Outcome {
    int status;
    std::string console;  // after the banner
    std::vector<std::string> events;
};

Outcome run(std::vector<std::string> args,
            fake_serial::Failure failure = fake_serial::Failure::none, std::size_t fail_at = 0) {
    fake_serial::reset(failure, fail_at);
    args.insert(args.begin(), "uipacer");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    const int status = app::run_main(static_cast<int>(args.size()), argv.data());
    std::string console = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.compare(0, banner.size(), banner), 0) << "banner first";
    return {status, console.substr(banner.size()), fake_serial::record().events};
}

TEST(Arguments, CheckedInOrderWithOneMessage) {
    const std::string input = write_temp_file("input.txt", "A>B:i\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string console;
    };
    const std::string port = "\nInvalid com port specified.\n";
    const std::string baud = "\nInvalid baud rate specified.\n";
    const std::string pause = "\nInvalid pause time specified.\n";
    const Case cases[] = {
        {{}, 0, usage},
        {{input, "1", "9600", "1", "extra"}, 0, usage},
        {{"/no/such/file", "x", "1", "0"}, 1, "\nUnable to open input file /no/such/file.\n"},
        {{input, "0", "9600", "1"}, 1, port},
        {{input, "5", "9600", "1"}, 1, port},
        {{input, "-1", "9600", "1"}, 1, port},
        {{input, "x", "9600", "1"}, 1, port},
        {{input, "4294967301", "9600", "1"}, 1, port},  // wraps to 5
        {{input, "1", "960", "1"}, 1, baud},
        {{input, "1", "09600", "1"}, 1, baud},
        {{input, "1", " 9600", "1"}, 1, baud},
        {{input, "1", "9600 ", "1"}, 1, baud},
        {{input, "1", "56000", "1"}, 1, baud},
        {{input, "1", "9600", "0"}, 1, pause},
        {{input, "1", "9600", "61"}, 1, pause},
        {{input, "1", "9600", "4294967357"}, 1, pause},  // wraps to 61
        {{input, ":8001", "9600", "1"}, 1, port},        // no host, and no number
        {{input, "tnc:0", "9600", "1"}, 1, port},
        {{input, "tnc:65536", "9600", "1"}, 1, port},
        {{input, "/" + std::string(4096, 'd'), "9600", "1"}, 1, port},  // longer than any path
    };
    for (const Case& c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.console;
        EXPECT_EQ(r.console, c.console);
        EXPECT_TRUE(r.events.empty()) << "device touched after " << c.console;
    }
}

TEST(Arguments, AcceptedValuesReachTheDevice) {
    const std::string input = write_temp_file("input.txt", "A>B:i\n");
    struct Case {
        std::vector<std::string> args;
        const char* open;
        const char* pause;
    };
    const Case cases[] = {
        {{input, "2", "9600", "1"}, "open Com2 9600", "pause 1000"},
        {{input, "3x", "9600", "60"}, "open Com3 9600", "pause 60000"},
        {{input, " 4", "9600", "+2"}, "open Com4 9600", "pause 2000"},
        {{input, "4294967297", "9600", "\t7s"}, "open Com1 9600", "pause 7000"},
        {{input, "/dev/ttyUSB0", "9600", "1"}, "open /dev/ttyUSB0 9600", "pause 1000"},
        {{input, "localhost:8001", "110", "1"}, "open tcp localhost:8001 110", "pause 1000"},
        {{input, "[::1]:65535", "9600", "1"}, "open tcp [::1]:65535 9600", "pause 1000"},
    };
    for (const Case& c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.status, 0) << c.open;
        const std::vector<std::string> expected = {c.open, one_frame_octets, c.pause, "close"};
        EXPECT_EQ(r.events, expected);
    }
    for (const char* speed : app::accepted_baud_rates) {
        const Outcome r = run({input, "1", speed, "1"});
        EXPECT_EQ(r.status, 0) << speed;
        EXPECT_EQ(r.events.front(), "open Com1 " + std::string(speed));
    }
}

TEST(SendLoop, ReadsLinesAsTheyStandAndPausesAfterEachFrame) {
    const std::string long_line = "A>B:" + std::string(1020, 'x') + "A>B:tail";
    struct Case {
        const char* why;
        std::string content;
        std::vector<std::string> lines;  // as announced
        std::vector<std::size_t> frame_sizes;
    };
    const Case cases[] = {
        {"empty file: opened and closed, no pause", "", {}, {}},
        {"last line without newline still sent", "A>B:1\nA>B:2", {"A>B:1\n", "A>B:2"}, {21, 20}},
        {"CR, 0x1A and empty lines are data",
         "A>B:\r\n\x1A\n\n",
         {"A>B:\r\n", "\x1A\n", "\n"},
         {21, 19, 19}},
        {"a line over 1024 characters arrives in two pieces",
         long_line + "\n",
         {long_line.substr(0, 1024), "A>B:tail\n"},
         {1039, 24}},
    };
    for (const Case& c : cases) {
        const Outcome r = run({write_temp_file("input.txt", c.content), "1", "9600", "3"});
        EXPECT_EQ(r.status, 0) << c.why;
        std::string console;
        std::vector<std::string> events = {"open Com1 9600"};
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            console += announcement(c.lines[i]);
            events.push_back("frame");
            events.push_back("pause 3000");
        }
        events.push_back("close");
        EXPECT_EQ(r.console, console) << c.why;
        ASSERT_EQ(r.events.size(), events.size()) << c.why;
        for (std::size_t i = 0, frame = 0; i < events.size(); ++i) {
            if (events[i] == "frame") {
                // "octets" and three characters an octet
                EXPECT_EQ((r.events[i].size() - 6) / 3, c.frame_sizes[frame++]) << c.why;
            } else {
                EXPECT_EQ(r.events[i], events[i]) << c.why;
            }
        }
    }
}

TEST(Faults, EndTheRunWithStatusOneAndAReason) {
    const std::string input = write_temp_file("input.txt", "A>B:i\nA>B:j\n");
    struct Case {
        fake_serial::Failure failure;
        std::size_t fail_at;
        int status;
        std::string console;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {fake_serial::Failure::open,
         0,
         1,
         "\nUnable to open serial port Com2 (/dev/fake: reason).\n",
         {"open Com2 9600"}},
        {fake_serial::Failure::settings,
         0,
         1,
         "\nUnable to configure serial port Com2 (/dev/fake: reason).\n",
         {"open Com2 9600"}},
        {fake_serial::Failure::write,
         0,
         1,
         announcement("A>B:i\n") + "\nUnable to write to serial port Com2 (/dev/fake: reason).\n",
         {"open Com2 9600", "write failed", "close"}},
        // The closing FEND of the second frame: no pause after it, status 1.
        {fake_serial::Failure::write,
         41,
         1,
         announcement("A>B:i\n") + announcement("A>B:j\n") +
             "\nUnable to write to serial port Com2 (/dev/fake: reason).\n",
         {"open Com2 9600", one_frame_octets, "pause 1000",
          "octets C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 6A 0A", "write failed",
          "close"}},
        // A stop in the middle of the second frame: the frame is finished,
        // the pause cut short, nothing more read.
        {fake_serial::Failure::stop,
         25,
         130,
         announcement("A>B:i\n") + announcement("A>B:j\n") +
             "\nRun stopped by SIGINT after frame 2.\n",
         {"open Com2 9600", one_frame_octets, "pause 1000",
          "octets C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 6A 0A C0", "pause 1000",
          "close"}},
    };
    for (const Case& c : cases) {
        const Outcome r = run({input, "2", "9600", "1"}, c.failure, c.fail_at);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.console, c.console);
        EXPECT_EQ(r.events, c.events);
    }
}

TEST(Faults, AnUnreadableInputIsReportedAfterClosingTheDevice) {
    const std::string& directory = temp_dir();
    const Outcome r = run({directory, "1", "9600", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.console, "\nUnable to read input file " + directory + ".\n");
    EXPECT_EQ(r.events, (std::vector<std::string>{"open Com1 9600", "close"}));
}

}  // namespace
