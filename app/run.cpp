#include "app/run.h"

#include "app/check.h"
#include "app/console.h"
#include "app/input.h"
#include "app/options.h"
#include "app/process.h"
#include "aprs/timefix.h"
#include "ax25/encoder.h"
#include "kiss/kiss.h"
#include "kiss/protocol.h"
#include "ports/port.h"
#include "ports/speeds.h"
#include "services/wait.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

namespace app {

namespace {

const char* const usage_texts[] = {
    "\n",
    "Usage: uipacer input_file com_port baud_rate pause_time\n\n",
    "input_file = name of file containing frames to be sent in TNC2 format\n",
    "com_port   = serial port [1..4] where the KISS frames should be sent to\n",
    "baud_rate  = speed at which the KISS frames should be sent\n",
    "pause_time = time between frames in seconds [1..60]\n",
    "\n",
};

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;

Options options;
ports::Port port;  // named once, then opened, closed and opened again as it comes and goes
char line_buffer[ax25::LINE_CAPACITY + 1];
std::uint8_t frame[ax25::FRAME_CAPACITY];
// The frame of the line in hand, as it goes to the TNC; sent again whole
// after the port was lost.
std::uint8_t wire[kiss::wire_capacity(ax25::FRAME_CAPACITY)];
std::size_t wire_length;

int finish(int status) {
    close_input();
    close_console();
    process_finished();
    return status;
}

// What a stop cut short, when it came while a frame could not be handed
// over: "frame N", or what else was being sent.
const char* cut_short;

// After a request to stop: the frame in hand was finished, or cut if it
// could not move, and the port released, so the operator learns how far
// the file got.
int report_stop(unsigned long frames_sent) {
    char when[48];  // "after frame " and any unsigned long
    if (frames_sent == 0) {
        (void)std::snprintf(when, sizeof when, "before the first frame");
    } else {
        (void)std::snprintf(when, sizeof when, "after frame %lu", frames_sent);
    }
    if (cut_short == nullptr) {
        show("\nRun stopped by %s %s.\n", stop_request(), when);
    } else if (cut_short[0] == '\0') {
        show("\nRun stopped by %s %s, frame %lu cut short.\n", stop_request(), when,
             frames_sent + 1);
    } else {
        show("\nRun stopped by %s %s, %s cut short.\n", stop_request(), when, cut_short);
    }
    return finish(stop_status());
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// How a run goes on: on; at its end, when a pass of the file gave no frame;
// stopped by a request; the input unreadable; or failed, its message shown.
enum class step { went, ended, stopped, unreadable, failed };

// A port missing or lost is tried again this often at the most, whatever
// ended the last try: a TNC that takes the connection and closes it at once
// is not flooded.
constexpr long long RETRY_US = 1'000'000;
long long last_try_us;

bool port_open;

void show_waiting() {
    show(port.tcp ? "\nWaiting for KISS TNC %s (%s).\n" : "\nWaiting for serial port %s (%s).\n",
         port.name, ports::failure_reason());
}

// Opens the port. With --wait, one that is missing is tried again every
// second, after one line that says so, until it is there or a stop is
// requested; and after the port was lost (the line said already), whatever
// kept it from opening, since a device that comes back may take a moment to
// be itself again.
step open_port(bool lost) {
    for (bool said = lost, first = !lost;; first = false) {
        if (!first && !services::wait_until(last_try_us + RETRY_US, services::NO_INPUT)) {
            return step::stopped;
        }
        last_try_us = services::now_us();
        const ports::open_result result = port.operations->open(port);
        port_open = result == ports::port_ready;
        if (result == ports::port_ready || result == ports::port_stopped) {
            return port_open ? step::went : step::stopped;
        }
        if (!options.wait || (result != ports::port_missing && !lost)) {
            show(port.tcp ? "\nUnable to connect to KISS TNC %s (%s).\n"
                 : result == ports::port_settings_refused
                     ? "\nUnable to configure serial port %s (%s).\n"
                     : "\nUnable to open serial port %s (%s).\n",
                 port.name, ports::failure_reason());
            return step::failed;
        }
        if (!said) {
            show_waiting();
            said = true;
        }
    }
}

ports::send_result send(const std::uint8_t* octets, std::size_t length) {
    return port.operations->send(octets, length);
}

// The init text and its wait, then the parameter frames in the order of
// their commands, each announced before it goes.
ports::send_result prepare_tnc() {
    static const char* const parameter_texts[] = {
        nullptr,
        "Setting TXDELAY to %d ms.\n",
        "Setting persistence to %d.\n",
        "Setting slot time to %d ms.\n",
        "Setting TX tail to %d ms.\n",
        "Setting %s duplex.\n",
    };
    ports::send_result result = ports::frame_sent;
    if (options.init_given != nullptr) {
        show("Sending the init text: %s\n", options.init_given);
        result = send(options.init, options.init_length);
        if (result != ports::frame_sent ||
            !pause_for(*port.operations, static_cast<std::int32_t>(options.init_wait_ms))) {
            return result;  // a stop in the wait is the run's to see
        }
    }
    for (std::uint8_t command = kiss::TXDELAY; command <= kiss::FULL_DUPLEX; ++command) {
        const int value = options.parameters[command];
        if (value < 0 || result != ports::frame_sent) {
            continue;
        }
        if (command == kiss::FULL_DUPLEX) {
            show(parameter_texts[command], value == 1 ? "full" : "half");
        } else {
            const bool time = command != kiss::PERSISTENCE;
            show(parameter_texts[command], value * (time ? kiss::PARAMETER_UNIT_MS : 1));
        }
        const auto octet = static_cast<std::uint8_t>(value);
        std::uint8_t parameter[kiss::wire_capacity(1)];
        result = send(parameter, kiss::frame(options.channel, command, &octet, 1, parameter));
    }
    return result;
}

// The frame of the line in hand.
ports::send_result transmit_frame() { return send(wire, wire_length); }

// The frame that takes the TNC out of KISS mode.
ports::send_result transmit_return() {
    std::uint8_t octets[3];
    return send(octets, kiss::return_frame(octets));
}

// Sends with sender, which sends what (for the stop's message: "" for the
// frame after the last sent). With --wait, a port that is lost is waited for
// as at the start, the TNC prepared again, and what was cut sent again whole.
// A stop that came while it could not be handed over cut it.
step deliver(ports::send_result (*sender)(), const char* what) {
    ports::send_result result = sender();
    while (result == ports::port_lost && options.wait) {
        show_waiting();
        port.operations->close();
        const step opened = open_port(true);
        if (opened != step::went) {
            return opened;
        }
        result = prepare_tnc();
        if (services::stop_requested()) {
            return step::stopped;  // in the init text's wait: nothing is sent before it has passed
        }
        if (result == ports::frame_sent && sender != prepare_tnc) {
            result = sender();
        }
    }
    if (result != ports::frame_sent && services::stop_requested()) {
        cut_short = what;
        return step::stopped;
    }
    if (result != ports::frame_sent) {
        show(port.tcp ? "\nUnable to write to KISS TNC %s (%s).\n"
                      : "\nUnable to write to serial port %s (%s).\n",
             port.name, ports::failure_reason());
        return step::failed;
    }
    return step::went;
}

// Seeded at its first use, from the clock; its constructor does not throw.
std::minstd_rand random;  // NOLINT(cert-err58-cpp,cert-msc32-c,cert-msc51-cpp)
bool seeded;

// A random lengthening of a pause, 0 to --jitter ms, so that stations
// started together do not keep sending together.
std::int32_t jitter() {
    if (options.jitter_ms == 0) {
        return 0;
    }
    // Seeded from the microsecond clock: stations started together still
    // start microseconds apart.
    if (!seeded) {
        random.seed(static_cast<std::uint_fast32_t>(services::now_us()));
        seeded = true;
    }
    return static_cast<std::int32_t>(
        std::uniform_int_distribution<long>(0, options.jitter_ms)(random));
}

// Announces one line, its timestamp fixed if asked, and makes the KISS
// frame of it.
void announce(char* line) {
    if (options.timefix) {
        aprs::fix_time(line, std::time(nullptr));
    }
    static char shown[6 * sizeof line_buffer];
    (void)shown_as_text(line, shown);
    show("Sending frame:\n %s\n\n", shown);
    wire_length = kiss::frame(options.channel, kiss::DATA_FRAME, frame,
                              ax25::encode_frame(line, frame), wire);
}

// One pass over the input, each line as a frame with its pause: went at
// its end. A line longer than the buffer arrives in pieces, each sent as a
// frame of its own, exactly as the reader hands them over. A request to stop
// is looked at between frames, and ends a wait for a line.
step send_lines(std::int32_t pause_ms, unsigned long& frames_sent) {
    while (stop_request() == nullptr) {
        const line_result read = read_line(line_buffer);
        if (read != line_read) {
            return read == read_failed    ? step::unreadable
                   : read == read_stopped ? step::stopped
                                          : step::went;
        }
        announce(line_buffer);
        const step sent = deliver(transmit_frame, "");
        if (sent != step::went) {
            return sent;
        }
        ++frames_sent;
        if (!pause_for(*port.operations, pause_ms + jitter())) {
            return step::stopped;
        }
    }
    return step::stopped;
}

// The input, as many times as asked. A file sent again is opened again by
// its name, so that a file replaced meanwhile is the new one; standard input
// is read once, and a pass that gave no frame ends the run.
step send_file(const char* name, std::int32_t pause_ms, unsigned long& frames_sent) {
    const bool standard = std::strcmp(name, "-") == 0;
    step done = step::went;
    for (long pass = 0; done == step::went && (options.repeat == 0 || pass < options.repeat);
         ++pass) {
        if (pass > 0 && (standard || reopen_input() != input_open)) {
            return standard ? step::ended : step::unreadable;
        }
        const unsigned long before = frames_sent;
        done = send_lines(pause_ms, frames_sent);
        done = done == step::went && frames_sent == before ? step::ended : done;
    }
    return done;
}

// The run's answer to --help, --version, --list-ports, --check or an
// option refused: its status.
int answer(options_read read) {
    if (read == option_refused) {
        show(refusal());
        return EXIT_FAILED;
    }
    if (read == ports_asked) {
        return list_serial_ports();
    }
    if (read == check_asked) {
        return check_file(options.checked);
    }
    if (read == help_asked) {
        print_usage();
        for (const char* const* line = option_lines; *line != nullptr; ++line) {
            show(*line);
        }
    }
    return EXIT_OK;  // --version: the banner says it
}

// The four arguments, checked in turn: the file opened, the port named, the
// speed and the pause taken; false after the message for the first that is
// wrong.
bool take_arguments(char** arguments, std::int32_t& pause_ms) {
    if (options.follow && std::strcmp(arguments[1], "-") == 0) {
        show("\nOption --follow takes a file, not standard input.\n");
        return false;
    }
    if (!open_input_shown(arguments[1], options.follow)) {
        return false;
    }
    if (!name_port(arguments[2])) {
        show("\nInvalid com port specified.\n");
        return false;
    }
    if (ports::check_baud_rate(arguments[3]) == 0) {
        show("\nInvalid baud rate specified.\n");
        return false;
    }
    port.speed = convert_number(arguments[3]);
    const std::int32_t pause_time = convert_number(arguments[4]);
    if (pause_time < 1 || pause_time > 60) {
        show("\nInvalid pause time specified.\n");
        return false;
    }
    pause_ms = pause_time * 1000;
    return true;
}

}  // namespace

void print_usage() {
    for (const char* text : usage_texts) {
        show(text);
    }
}

std::int32_t convert_number(const char* text) {
    while (is_space(*text)) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') {
        ++text;
    }
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10U + static_cast<std::uint32_t>(*text - '0');
    }
    if (negative) {
        value = 0U - value;
    }
    // Two's complement reading of the 32 bits, without relying on an
    // implementation-defined conversion.
    return value <= 0x7FFFFFFFU ? static_cast<std::int32_t>(value)
                                : -static_cast<std::int32_t>(~value) - 1;
}

bool name_port(const char* com_port) {
    if (ports::name_port(com_port, port)) {
        return true;
    }
    const std::int32_t number = convert_number(com_port);
    if (number < 1 || number > 4) {
        return false;
    }
    ports::name_com_port(number, port);
    return true;
}

int run_main(int argc, char** argv) {
    prepare_process();
    open_console();
    show("\nUipacer version " UIPACER_VERSION " by Tobrin\n\n");
    int first = 1;
    const options_read read = read_options(argc, argv, options, &first);
    if (read != options_taken) {
        return finish(answer(read));
    }
    if (argc - first != 4) {
        print_usage();
        return finish(EXIT_OK);
    }
    char** const arguments = argv + first - 1;  // the four, from 1 on
    std::int32_t pause_ms = 0;
    if (!take_arguments(arguments, pause_ms)) {
        return finish(EXIT_FAILED);
    }

    step done = open_port(false);
    if (done == step::failed) {
        return finish(EXIT_FAILED);
    }
    done = done == step::went ? deliver(prepare_tnc, "the TNC's setup") : done;
    unsigned long frames_sent = 0;
    done = done == step::went ? send_file(arguments[1], pause_ms, frames_sent) : done;
    // Not after a failure, nor after a frame cut short: the exit frame's
    // FEND would end the cut frame, which the TNC would then send.
    if (options.exit_kiss && port_open && cut_short == nullptr &&
        (done == step::went || done == step::ended || done == step::stopped)) {
        show("Taking the TNC out of KISS mode.\n");
        const step left = deliver(transmit_return, "the frame out of KISS mode");
        done = left == step::failed ? left : done;
    }
    port.operations->close();
    if (done == step::failed) {
        return finish(EXIT_FAILED);
    }
    if (done == step::unreadable) {
        show("\nUnable to read input file %s.\n", arguments[1]);
        return finish(EXIT_FAILED);
    }
    if (stop_request() != nullptr) {
        return report_stop(frames_sent);
    }
    return finish(EXIT_OK);
}

}  // namespace app
