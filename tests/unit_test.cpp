// The run over a fake port: lines into frames, frames onto the wire, and
// runs from their arguments to their exit status; the serial layer's check
// of the line settings; and what the monitor shows of what a TNC receives.
#include "app/process.h"
#include "app/run.h"
#include "aprs/timefix.h"
#include "ax25/encoder.h"
#include "kiss/kiss.h"
#include "monitor/display.h"
#include "ports/line_settings_linux.h"
#include "ports/port.h"
#include "services/wait.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

// The fake port, process and clock: what they went through, and what is
// armed. The port is missing for the first opens asked; the frame of index
// at, over the whole run, fails to send, is lost (and a SIGINT comes in the
// next pause), or has a SIGINT come while it goes.
enum class Failure { none, send, lost, stop, lost_then_stop };
struct Fake {
    Failure failure = Failure::none;
    std::size_t at = 0;
    int missing = 0;
    std::size_t frames = 0;
    std::string log;  // " | open Com2 9600 | C0 00 ... C0 | pause 1000 | close"
    bool stopped = false;
} fake;

void note(const std::string& event) { fake.log += " | " + event; }

std::string hex(const std::uint8_t* octets, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        char shown[4];
        (void)std::snprintf(shown, sizeof shown, i == 0 ? "%02X" : " %02X", octets[i]);
        text += shown;
    }
    return text;
}

ports::open_result open_port(const ports::Port& port) {
    const bool missing = fake.missing-- > 0;
    ports::keep_failure("reason");
    note("open " + std::string(port.tcp ? "tcp " : "") + port.name + " " +
         std::to_string(port.speed) + (missing ? " (missing)" : ""));
    return missing ? ports::port_missing : ports::port_ready;
}

ports::send_result send_frame(const std::uint8_t* frame, std::size_t length) {
    const bool armed = fake.frames++ == fake.at;
    fake.stopped = fake.stopped || (armed && fake.failure == Failure::stop);
    const bool cut = armed && fake.failure != Failure::none && fake.failure != Failure::stop;
    note(hex(frame, length) + (cut ? " (cut)" : ""));
    return !cut                            ? ports::frame_sent
           : fake.failure == Failure::send ? ports::send_failed
                                           : ports::port_lost;
}

bool wait_input(long long /*deadline_us*/) { return true; }
void drain() {}
void close_port() { note("close"); }

}  // namespace

namespace ports {

const PortOperations serial_port = {open_port, send_frame, wait_input, drain, close_port};
const PortOperations tcp_port = serial_port;

bool device_named(const char* text, char* device, std::size_t capacity) {
    (void)std::snprintf(device, capacity, "%s", text);
    return text[0] == '/';
}
void com_device(int number, char* device, std::size_t capacity) {
    (void)std::snprintf(device, capacity, "device %d", number);
}

}  // namespace ports

namespace services {

// The waits: a missing port's second between tries.
void prepare_waits() {}
void finish_waits() {}
long long now_us() { return 0; }
void request_stop() { fake.stopped = true; }
bool stop_requested() { return fake.stopped; }
bool wait_until(long long /*deadline_us*/, Waitable /*input*/) {
    note("a second");
    return !fake.stopped;
}

}  // namespace services

namespace app {

void prepare_process() {}
bool pause_for(const ports::PortOperations& /*port*/, std::int32_t milliseconds) {
    note("pause " + std::to_string(milliseconds));
    fake.stopped =
        fake.stopped || (fake.failure == Failure::lost_then_stop && fake.frames > fake.at);
    return !fake.stopped;
}
const char* stop_request() { return fake.stopped ? "SIGINT" : nullptr; }
int stop_status() { return 130; }
void process_finished() {}

}  // namespace app

namespace {

// A to B, as far as B's SSID, then rest.
std::string a_b(const std::string& rest) {
    return "84 40 40 40 40 40 E0 82 40 40 40 40 40 " + rest;
}

// A line's data frame, on channel 0, as it goes on the wire.
std::string sent(const std::string& line) {
    std::uint8_t frame[ax25::FRAME_CAPACITY]{};
    std::uint8_t wire[kiss::wire_capacity(ax25::FRAME_CAPACITY)]{};
    return hex(wire, kiss::frame(0, 0, frame, ax25::encode_frame(line.c_str(), frame), wire));
}

TEST(Encoder, SendsEachLineAsOneKissFrame) {
    // clang-format off
    const std::pair<std::string, std::string> frames[] = {
        // SSIDs wrap modulo 16 (79 would set bit 7 of the source's octet); the case of letters
        // is kept. A third SSID digit, and a seventh callsign character, is the '>'.
        {"ab-79>CD-99:y", "86 88 40 40 40 40 E6 C2 C4 40 40 40 40 7F 03 F0 79"},
        {"AB->CD-:z", "86 88 40 40 40 40 E0 82 84 40 40 40 40 61 03 F0 7A"},
        {"X-123>Y:", "40 40 40 40 40 40 E0 B0 40 40 40 40 40 78 B2 40 40 40 40 40 61 03 F0"},
        {"ABCDEFGH>APRS:q",
         "90 40 40 40 40 40 E0 82 84 86 88 8A 8C 60 82 A0 A4 A6 40 40 61 03 F0 71"},
        // An empty path entry; a '*' after the destination stands for the ','.
        {"A>B,:i", a_b("60 40 40 40 40 40 40 61 03 F0 69")},
        {"A>B*:x", a_b("60 40 40 40 40 40 40 61 03 F0 78")},
        // Repeated bits, the end of the address on the last entry; CR LF are text.
        {"A>B,C-5*,D*:i\r\n", a_b("60 86 40 40 40 40 40 EA 88 40 40 40 40 40 E1 03 F0 69 0D 0A")},
        // Without a ':' the newline is a callsign character, alone the source's.
        {"A>B\n", "84 14 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0"},
        {"\n", "40 40 40 40 40 40 E0 14 40 40 40 40 40 61 03 F0"},
        // Octets above 0x7F: their low seven bits in a callsign, all eight in the text.
        {"\xC1>B:\xFF", a_b("61 03 F0 FF")},
        // FEND and FESC are escaped wherever they fall; TFEND and TFESC alone are data.
        {"`>B:\xC0\xDB\xDC\xDD",
         "84 40 40 40 40 40 E0 DB DC 40 40 40 40 40 61 03 F0 DB DC DB DD DC DD"},
        // The text ends at its first zero.
        {std::string("A>B:ab\0cd", 9), a_b("61 03 F0 61 62")},
    };
    // clang-format on
    for (const auto& [line, frame] : frames) {
        EXPECT_EQ(sent(line), "C0 00 " + frame + " C0") << line;
    }
    // Commas past the reader's capacity: the first 1024 give the longest frame, the source
    // and 1023 empty path entries: 7 * 1025 + 2 octets.
    const std::string wire = sent(std::string(3000, ','));
    EXPECT_EQ(wire.size(), 3 * (2 + 1 + 7 * 1025 + 2) - 1);
    EXPECT_EQ(wire.substr(wire.size() - 14), "40 61 03 F0 C0");
}

constexpr char banner[] = "\nUipacer version " UIPACER_VERSION " by Tobrin\n\n";

std::string announced(const std::string& line) { return "Sending frame:\n " + line + "\n\n"; }

// A file in memory, by a name the run can open; it goes with the process.
std::string input(const std::string& content) {
    const int file = memfd_create("input", 0);
    EXPECT_EQ(write(file, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    return "/proc/self/fd/" + std::to_string(file);
}

// A run: its arguments, what is armed, and what it shows: the console after
// the banner, what the port and the process went through in brackets, and
// the exit status.
struct RunCase {
    std::vector<std::string> args;
    std::string shown;
    Failure failure = Failure::none;
    std::size_t at = 0;
    int missing = 0;
};

std::string run(const RunCase& c) {
    fake = Fake{c.failure, c.at, c.missing, 0, "", false};
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "uipacer");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    const int status = app::run_main(static_cast<int>(args.size()), argv.data());
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.substr(0, sizeof banner - 1), banner);
    return console.erase(0, sizeof banner - 1) + "[" + fake.log.erase(0, 3) + "] " +
           std::to_string(status);
}

TEST(Run, ShowsWhatItDidAndEndsWithItsStatus) {
    const std::string in = input("A>B:i\n");
    const std::string two = input("A>B:i\nA>B:j\n");
    const std::string longer = "A>B:" + std::string(1020, 'x') + "A>B:tail\n";
    std::string xs;
    for (int n = 0; n < 1020; ++n) {
        xs += " 78";
    }
    const std::string usage =
        "\nUsage: uipacer input_file com_port baud_rate pause_time\n\n"
        "input_file = name of file containing frames to be sent in TNC2 format\n"
        "com_port   = serial port [1..4] where the KISS frames should be sent to\n"
        "baud_rate  = speed at which the KISS frames should be sent\n"
        "pause_time = time between frames in seconds [1..60]\n\n[] 0";
    const std::string port = "\nInvalid com port specified.\n[] 1";
    const std::string baud = "\nInvalid baud rate specified.\n[] 1";
    const std::string pause = "\nInvalid pause time specified.\n[] 1";
    const std::string i = "C0 00 " + a_b("61 03 F0 69 0A C0");
    const std::string j = "C0 00 " + a_b("61 03 F0 6A 0A C0");
    const std::string one = announced("A>B:i\n");
    const std::string both = one + announced("A>B:j\n");
    const std::string waiting = "\nWaiting for serial port Com1 (reason).\n";
    const std::string init = "Sending the init text: X\n";
    // clang-format off
    const RunCase cases[] = {
        // The arguments, each checked in turn before the port is opened; with options too.
        {{}, usage},
        {{in, "1", "9600", "1", "1"}, usage},
        {{"--wait", in}, usage},
        {{"--version", "x"}, "[] 0"},
        {{"/no/such/file", "0", "0", "0"}, "\nUnable to open input file /no/such/file.\n[] 1"},
        {{in, "0", "0", "0"}, port},
        {{in, "5", "0", "0"}, port},
        {{in, "-1", "0", "0"}, port},
        {{in, ":8001", "0", "0"}, port},
        {{in, "tnc:0", "0", "0"}, port},
        {{in, "tnc:65536", "0", "0"}, port},
        {{in, "tnc:4295032831", "0", "0"}, port},  // 65535 modulo 2^32
        {{in, "/" + std::string(4096, 'd'), "0", "0"}, port},
        {{in, "1", "960", "0"}, baud},
        {{in, "1", "09600", "0"}, baud},
        {{in, "1", "9600 ", "0"}, baud},
        {{in, "1", "56000", "0"}, baud},
        {{in, "1", "9600", "0"}, pause},
        {{in, "1", "9600", "61"}, pause},
        {{"--follow", "-", "1", "9600", "1"}, "\nOption --follow takes a file, not standard input."
         "\n[] 1"},
        // Numbers as atoi reads them, wrapping modulo 2^32.
        {{in, "3x", "9600", "60"}, one + "[open Com3 9600 | " + i + " | pause 60000 | close] 0"},
        {{in, " 4", "110", "+2"}, one + "[open Com4 110 | " + i + " | pause 2000 | close] 0"},
        {{in, "4294967297", "9600", "\t7s"}, one + "[open Com1 9600 | " + i + " | pause 7000 | "
         "close] 0"},
        // Lines as they stand, 0x1A and CR included, the last without a newline, the longest
        // in pieces.
        {{input("A>B:\r\n\x1A\n\nA>B:2"), "1", "9600", "1"}, announced("A>B:\r\n") +
         announced("\x1A\n") + announced("\n") + announced("A>B:2") + "[open Com1 9600 | C0 00 " +
         a_b("61 03 F0 0D 0A C0") + " | pause 1000 | C0 00 40 40 40 40 40 40 E0 34 14 40 40 40 40 "
         "61 03 F0 C0 | pause 1000 | C0 00 40 40 40 40 40 40 E0 14 40 40 40 40 40 61 03 F0 C0 | "
         "pause 1000 | C0 00 " + a_b("61 03 F0 32 C0") + " | pause 1000 | close] 0"},
        {{input(longer), "1", "9600", "1"}, announced(longer.substr(0, 1024)) + announced("A>B:"
         "tail\n") + "[open Com1 9600 | C0 00 " + a_b("61 03 F0") + xs + " C0 | pause 1000 | C0 00 "
         + a_b("61 03 F0 74 61 69 6C 0A C0") + " | pause 1000 | close] 0"},
        // A folder is refused before the port is opened.
        {{"/", "2", "9600", "1"}, "\nUnable to read input file /.\n[] 1"},
        // A stop during the second frame: that frame is finished, nothing more sent.
        {{two, "2", "9600", "1"}, both + "\nRun stopped by SIGINT after frame 2.\n[open Com2 9600 "
         "| " + i + " | pause 1000 | " + j + " | pause 1000 | close] 130", Failure::stop, 1},
        // With --wait, a lost port tried again a second after the last try, made ready again,
        // the init text too, and the frame that was cut sent again; but not when a stop comes
        // in the init text's wait. A stall still a failure.
        {{"--wait", "--init", "X", "--init-wait", "5", two, "1", "9600", "1"}, init + both + waiting
         + init + "[open Com1 9600 | 58 | pause 5 | " + i + " | pause 1000 | " + j + " (cut) | close"
         " | a second | open Com1 9600 | 58 | pause 5 | " + j + " | pause 1000 | close] 0",
         Failure::lost, 2},
        {{"--wait", "--init", "X", "--init-wait", "5", two, "1", "9600", "1"}, init + both + waiting
         + init + "\nRun stopped by SIGINT after frame 1.\n[open Com1 9600 | 58 | pause 5 | " + i +
         " | pause 1000 | " + j + " (cut) | close | a second | open Com1 9600 | 58 | pause 5 | "
         "close] 130", Failure::lost_then_stop, 2},
        {{"--wait", two, "1", "9600", "1"}, both + "\nUnable to write to serial port Com1 (reason)."
         "\n[open Com1 9600 | " + i + " | pause 1000 | " + j + " (cut) | close] 1", Failure::send, 1},
        // Sent again until stopped; an empty file not sent again.
        {{"--repeat", "0", two, "1", "9600", "1"}, both + both + one + "\nRun stopped by SIGINT "
         "after frame 5.\n[open Com1 9600 | " + i + " | pause 1000 | " + j + " | pause 1000 | " + i
         + " | pause 1000 | " + j + " | pause 1000 | " + i + " | pause 1000 | close] 130",
         Failure::stop, 4},
        {{"--repeat", "0", input(""), "1", "9600", "1"}, "[open Com1 9600 | close] 0"},
    };
    // clang-format on
    for (const RunCase& c : cases) {
        EXPECT_EQ(run(c), c.shown);
    }
}

// Each refused option says what it takes, and nothing is opened.
TEST(Run, RefusesAnOptionAndSaysWhatItTakes) {
    const std::string time = "milliseconds, 0 to 2550 in steps of 10, not ";
    // clang-format off
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        // The option as written: short, in a group, abbreviated (refused), a long value cut.
        {{"-c", "16"}, "Option -c takes a KISS port, 0 to 15, not 16."},
        {{"-c", "3", "-zq"}, "Unknown option -z: uipacer --help lists them."},
        {{"--rep", "2"}, "Unknown option --rep: uipacer --help lists them."},
        {{"--init", "\\q" + std::string(3000, 'x')}, "Option --init takes a text of at most 1024 "
         "octets, in which \\r, \\n, \\\\ and \\xHH stand for those octets, not \\q" +
         std::string(58, 'x') + "\u2026."},
        {{"--init="}, "Option --init takes a text of at most 1024 octets, in which \\r, \\n, \\\\ "
         "and \\xHH stand for those octets."},
        {{"--channel=x"}, "Option --channel takes a KISS port, 0 to 15, not x."},
        {{"--txdelay", "15"}, "Option --txdelay takes " + time + "15."},
        {{"--slottime", "2560"}, "Option --slottime takes " + time + "2560."},
        {{"--txtail", "-10"}, "Option --txtail takes " + time + "-10."},
        {{"--persist", "256"}, "Option --persist takes a persistence, 0 to 255, not 256."},
        {{"--duplex", "auto"}, "Option --duplex takes half or full, not auto."},
        {{"--init", "a\\q"}, "Option --init takes a text of at most 1024 octets, in which \\r, "
         "\\n, \\\\ and \\xHH stand for those octets, not a\\q."},
        {{"--init-wait", "60001"}, "Option --init-wait takes milliseconds, 0 to 60000, not 60001."},
        {{"--repeat", "+1"}, "Option --repeat takes a number of times, 0 for no end, not +1."},
        {{"--jitter", "1e3"}, "Option --jitter takes milliseconds, 0 to 60000, not 1e3."},
        {{"--wait=yes"}, "Option --wait takes no value."},
        {{"--follow", "--repeat", "2"}, "Options --follow and --repeat do not go together."},
        {{"--bogus"}, "Unknown option --bogus: uipacer --help lists them."},
    };
    // clang-format on
    for (const auto& [options, refused] : cases) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"file", "1", "9600", "1"});
        EXPECT_EQ(run({args, ""}), "\n" + refused + "\n[] 1");
    }
    EXPECT_EQ(run({{"--jitter"}, ""}), "\nOption --jitter takes milliseconds, 0 to 60000.\n[] 1");
    // The usage text, then a line for each option.
    const std::string help = run({{"--help", "x"}, ""});
    EXPECT_EQ(help.substr(0, 57), "\nUsage: uipacer input_file com_port baud_rate pause_time\n");
    EXPECT_NE(help.find("\n--wait "), std::string::npos);
    EXPECT_EQ(help.substr(help.size() - 5), "\n[] 0");
}

// Each report's timestamp as it would go at 23:59:30 UTC on 31 December
// 2026, where the clock is an hour ahead: new year's day there; other
// lines, and timestamps not of digits or cut short, as they are.
TEST(Timefix, GivesEachTimestampTheTimeItGoes) {
    (void)setenv("TZ", "XYZ-1", 1);
    tzset();
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"A>B:/111111z4903.50N/07201.75W-", "A>B:/312359z4903.50N/07201.75W-"},
        {"A>B,WIDE1-1:@111111/4903.50N", "A>B,WIDE1-1:@010059/4903.50N"},
        {"A>B:/111111h4903.50N", "A>B:/235930h4903.50N"},
        {"A>B:;OBJECT   *111111z4903.50N", "A>B:;OBJECT   *312359z4903.50N"},
        {"A>B:;OBJECT   _111111h", "A>B:;OBJECT   _235930h"},
        {"A>B:>111111zNet at 8", "A>B:>312359zNet at 8"},
        {"A>B:_10090556c220s004", "A>B:_12312359c220s004"},
        {"A>B:>111111hNet at 8", "A>B:>111111hNet at 8"},
        {"A>B:/1111", "A>B:/1111"},
        {"A>B:/11aa11z", "A>B:/11aa11z"},
        {"A>B:;OBJ*111111z", "A>B:;OBJ*111111z"},
        {"A>B:!4903.50N/07201.75W-", "A>B:!4903.50N/07201.75W-"},
        {"A>B/111111z", "A>B/111111z"},
    };
    // clang-format on
    for (const auto& [line, fixed] : cases) {
        std::string text = line;
        aprs::fix_time(text.data(), 1'798'761'570);
        EXPECT_EQ(text, fixed);
    }
}

// --check: each kind of line whose frame says otherwise, in a file of ten
// lines; and a file that goes out as written (an SSID of 0 written or not).
TEST(Check, ShowsEachLineWhoseFrameSaysOtherwise) {
    const std::string info(257, 'x');
    const std::string file = input(
        "N0CALL-9>APRS,WIDE1-1*:ok\nN0CALL-16>APRS:x\nN0CALL-X>APRS:x\nN0CALLXY>APRS:x\n"
        "n0call>APRS:x\nA>B,1,2,3,4,5,6,7,8,9:x\nA>B:" +
        info + "\ngarbage\nA>B\nA-0>B:ok");
    const std::string clean = input("N0CALL-0>APRS,WIDE2-2:ok\r\n");
    EXPECT_EQ(run({{"--check", file}, ""}),
              "Line 2: N0CALL-16>APRS:x<0x0A>\n goes out as N0CALL>APRS:x<0x0A>\n"
              "Line 3: N0CALL-X>APRS:x<0x0A>\n goes out as N0CALL>,APRS:x<0x0A>\n"
              " ! an empty callsign\n"
              "Line 4: N0CALLXY>APRS:x<0x0A>\n goes out as N0CALL>Y,APRS:x<0x0A>\n"
              "Line 5: n0call>APRS:x<0x0A>\n goes out as n0call>APRS:x<0x0A>\n"
              " ! callsign character 0x6E is not A-Z or 0-9\n"
              "Line 6: A>B,1,2,3,4,5,6,7,8,9:x<0x0A>\n ! more than 8 digipeaters\n"
              "Line 7: A>B:" +
                  info + "<0x0A>\n goes out as A>B:" + info +
                  "<0x0A>\n"
                  " ! 258 octets of information, more than a TNC passes on (256)\n"
                  "Line 8: garbage<0x0A>\n goes out as garbag><0x0A>:\n"
                  " ! callsign character 0x0A is not A-Z or 0-9\n"
                  "Line 9: A>B<0x0A>\n goes out as A>B<0x0A>:\n"
                  " ! callsign character 0x0A is not A-Z or 0-9\n"
                  "\n8 lines of 10 in " +
                  file + " do not go out as written.\n[] 1");
    EXPECT_EQ(run({{"--check", clean}, ""}),
              "\nEvery line of " + clean + " goes out as written.\n[] 0");
}

// A pseudo-terminal reads back whatever it was given; a device need not,
// and a UART may come only near the speed.
TEST(LineSettings, TakenWhenReadBackAsAskedAndWithinTwoPercentOfTheSpeed) {
    termios2 wanted{};
    ports::build_line_settings(wanted, 115200);
    const std::tuple<tcflag_t termios2::*, tcflag_t, unsigned, bool> cases[] = {
        {&termios2::c_cflag, 0, 113636, true},       {&termios2::c_cflag, 0, 111700, false},
        {&termios2::c_cflag, PARENB, 115200, false}, {&termios2::c_iflag, IXON, 115200, false},
        {&termios2::c_oflag, OPOST, 115200, false},  {&termios2::c_lflag, ECHO, 115200, false},
    };
    for (const auto& [flags, flipped, speed, taken] : cases) {
        termios2 actual = wanted;
        actual.*flags ^= flipped;
        actual.c_ospeed = speed;
        EXPECT_EQ(ports::line_settings_taken(wanted, actual), taken) << flipped << ' ' << speed;
    }
}

// What the monitor shows of what a line delivers (octets in hex), and of
// what it left open when stopped: each frame's text, without the time that
// kissmon puts before it.
std::string shown(const std::string& line, bool hex = false) {
    static monitor::Line heard;
    static char text[monitor::SHOWN_CAPACITY];
    monitor::reset_line(heard);
    std::string frames;
    std::istringstream octets(line);
    for (unsigned octet = 0; octets >> std::hex >> octet;) {
        frames += std::string(
            text, monitor::take(heard, static_cast<std::uint8_t>(octet), hex, text, sizeof text));
    }
    return frames + std::string(text, monitor::finish(heard, text, sizeof text));
}

std::string kiss(const std::string& frame) { return "C0 00 " + frame + " C0"; }

TEST(Monitor, ShowsEachFrameOrWhatIsWrongWithIt) {
    const std::string a_to_b = a_b("61 03 F0");
    std::string nine = a_b("60");
    for (int i = 0; i < 9; ++i) {
        nine += i < 8 ? " 90 40 40 40 40 40 60" : " 90 40 40 40 40 40 61 03 F0";
    }
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        // FENDs doubled or shared, both escapes, TFEND and TFESC alone, a frame not closed
        // when the monitor is stopped.
        {"C0 C0 00 " + a_to_b + " DB DC 41 DB DD C0 00 " + a_to_b + " DC DD C0 C0 00 41",
         "A>B:<0xC0>A<0xDB>\nA>B:<0xDC><0xDD>\n! cut short: the stop came inside the frame\n  C0 00 "
         "41 ...\n"},
        {"C0 00 DB 41 C0 00 DB C0", "! FESC is followed by 0x41, not TFEND or TFESC\n  C0 00 DB "
         "41 C0\n! the frame ends right after FESC\n  C0 00 DB C0\n"},
        // Every character a callsign may have, at both ends of its range; the TNC's channel.
        {kiss("82 A0 B4 72 40 40 E0 9C 60 86 82 98 98 72 AE 92 88 8A 62 40 E2 AE 92 88 8A 64 40 "
              "65 03 F0 3E 68 69 0A"), "N0CALL-9>APZ9,WIDE1-1*,WIDE2-2:>hi<0x0A>\n"},
        {"C0 30 " + a_b("7F 03 F0 1F 20 7E 7F C0"), "port 3 A-15>B:<0x1F> ~<0x7F>\n"},
        {kiss(a_b("")), "! cut short: 13 octets end inside address 2\n  C0 00 " + a_b("C0\n")},
        {kiss(a_b("60")), "! no end-of-address bit: the frame ends after address 2\n  C0 00 " +
         a_b("60 C0\n")},
        {kiss(nine), "! more than 8 digipeaters\n  C0 00 " + nine + " C0\n"},
        {kiss(a_b("61 13 F0")), "! control octet 0x13, not UI (0x03)\n  C0 00 " +
         a_b("61 13 F0 C0\n")},
        {kiss(a_b("61 03 CF")), "! PID 0xCF, not 0xF0 (no layer 3)\n  C0 00 " +
         a_b("61 03 CF C0\n")},
        {"C0 4B 00 C0", "! KISS command 0x4B, not a data frame\n  C0 4B 00 C0\n"},
        // Text in no frame: an init text before the first FEND, or between frames; junk
        // before the first FEND shows as the octets it holds, after no FEND.
        {"4B 49 53 53 20 4F 4E 0D C0 00 " + a_to_b + " C0 4B 0D 0A C0", "text: KISS ON<0x0D>\nA>B:\n"
         "text: K<0x0D><0x0A>\n"},
        {"01 C0 C0 00 DB", "text: <0x01>\n! cut short: the stop came inside the frame\n  C0 00 DB "
         "...\n"},
        // Flaws a frame is still shown with, and the octets as they came when asked.
        {kiss("C2 E0 E4 E6 40 40 E0 DC 60 C6 C2 D8 D8 61 03 F0"),
         "n0call>aprs:\n  ! callsign character 0x61 is not A-Z or 0-9\n"},
        {kiss("84 40 40 40 40 40 E0 82 40 84 40 40 40 61 03 F0"),
         "A B>B:\n  ! callsign has a space before character 3\n"},
        {kiss("40 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0"), "A>:\n  ! an empty callsign\n"},
        // The TNC's parameters by name, and leaving KISS mode.
        {"C0 31 DB DC C0 C0 02 DB DD C0 C0 F3 0A C0 C0 04 03 C0 C0 05 01 C0 C0 FF C0",
         "port 3 TXDELAY 1920 ms\nPERSIST 219\nport 15 SLOTTIME 100 ms\nTXTAIL 30 ms\nFULLDUP 1\n"
         "RETURN (out of KISS mode)\n"},
    };
    // clang-format on
    for (const auto& [stream, frames] : cases) {
        EXPECT_EQ(shown(stream), frames) << stream;
    }
    EXPECT_EQ(shown(kiss(a_to_b), true), "A>B:\n  " + kiss(a_to_b) + "\n");
    std::string overlong = "C0 00";
    for (int i = 0; i < 8192; ++i) {
        overlong += " 41";
    }
    EXPECT_EQ(shown(overlong + " C0").substr(0, 46),
              "! the frame is longer than 8192 octets\n  C0 00");
}

}  // namespace
