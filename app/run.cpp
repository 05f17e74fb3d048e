#include "app/run.h"

#include "app/console.h"
#include "app/process.h"
#include "app/speeds.h"
#include "ax25/encoder.h"
#include "kiss/kiss.h"
#include "kiss/port.h"

#include <cstdio>
#include <cstring>

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

std::FILE* input_stream;
char line_buffer[ax25::LINE_CAPACITY + 1];

// Each message goes to the console as it is made, so that a console piped
// into a log shows every frame as it goes out, not at exit. The console
// serves the operator: one that cannot be written, or stops reading, must
// never stop the frames.
// The longest message: a device path and a system's reason.
char message[2 * kiss::PORT_NAME_CAPACITY + std::size_t{3} * 32'768];

void show(const char* text) { show_text(text, std::strlen(text)); }

template <typename... Details>
void show(const char* format, Details... details) {
    const int length = std::snprintf(message, sizeof message, format, details...);
    if (length > 0) {
        show_text(message, static_cast<std::size_t>(length) < sizeof message
                               ? static_cast<std::size_t>(length)
                               : sizeof message - 1);
    }
}

int finish(int status) {
    if (input_stream != nullptr) {
        (void)std::fclose(input_stream);  // read only: nothing can be lost
        input_stream = nullptr;
    }
    close_console();
    process_finished();
    return status;
}

// After a request to stop: the frame in hand was finished and the port
// released, so the operator learns how far the file got.
int report_stop(unsigned long frames_sent) {
    char frame[48];  // "after frame " and any unsigned long
    if (frames_sent == 0) {
        (void)std::snprintf(frame, sizeof frame, "before the first frame");
    } else {
        (void)std::snprintf(frame, sizeof frame, "after frame %lu", frames_sent);
    }
    show("\nRun stopped by %s %s.\n", stop_request(), frame);
    return finish(stop_status());
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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
    if (std::strlen(com_port) >= sizeof kiss::port_name) {
        return false;
    }
    const bool device = kiss::is_device_name(com_port);
    if (device || kiss::parse_tnc_address(com_port, nullptr)) {
        kiss::port = device ? &kiss::serial_port : &kiss::tcp_port;
        std::memcpy(kiss::port_name, com_port, std::strlen(com_port) + 1);
        return true;
    }
    const std::int32_t number = convert_number(com_port);
    if (number < 1 || number > 4) {
        return false;
    }
    kiss::port = &kiss::serial_port;
    // "Com1" to "Com4": fits, so the result tells nothing.
    (void)std::snprintf(kiss::port_name, sizeof kiss::port_name, "Com%d", static_cast<int>(number));
    return true;
}

bool send_frame(const char* line) {
    show("Sending frame:\n %s\n\n", line);
    ax25::encode_frame(line);
    return kiss::transmit_frame();
}

int run_main(int argc, char** argv) {
    prepare_process();
    open_console();
    show("\nUipacer version " UIPACER_VERSION " by Tobrin\n\n");
    if (argc != 5) {
        print_usage();
        return finish(EXIT_OK);
    }

    input_stream = open_input(argv[1]);  // binary: 0x1A and CR are data
    if (input_stream == nullptr && input_failure() != nullptr) {
        show("\nUnable to open input file %s (%s).\n", argv[1], input_failure());
        return finish(EXIT_FAILED);
    }
    if (input_stream == nullptr) {
        show("\nUnable to open input file %s.\n", argv[1]);
        return finish(EXIT_FAILED);
    }
    if (!name_port(argv[2])) {
        show("\nInvalid com port specified.\n");
        return finish(EXIT_FAILED);
    }
    if (check_baud_rate(argv[3]) == 0) {
        show("\nInvalid baud rate specified.\n");
        return finish(EXIT_FAILED);
    }
    kiss::baud_rate = convert_number(argv[3]);
    const std::int32_t pause_time = convert_number(argv[4]);
    if (pause_time < 1 || pause_time > 60) {
        show("\nInvalid pause time specified.\n");
        return finish(EXIT_FAILED);
    }
    const std::int32_t pause_ms = pause_time * 1000;

    const bool tcp = kiss::port == &kiss::tcp_port;
    switch (kiss::port->open()) {
    case kiss::port_ready:
        break;
    case kiss::port_unavailable:
        show(tcp ? "\nUnable to connect to KISS TNC %s (%s).\n"
                 : "\nUnable to open serial port %s (%s).\n",
             kiss::port_name, kiss::failure_reason());
        return finish(EXIT_FAILED);
    case kiss::port_settings_refused:
        show("\nUnable to configure serial port %s (%s).\n", kiss::port_name,
             kiss::failure_reason());
        return finish(EXIT_FAILED);
    case kiss::port_stopped:
        return report_stop(0);
    }

    // A line longer than the buffer arrives in pieces, each sent as a frame
    // of its own, exactly as the reader hands them over. A request to stop
    // is looked at only between frames, so that no frame is ever cut.
    unsigned long frames_sent = 0;
    while (stop_request() == nullptr &&
           std::fgets(line_buffer, sizeof line_buffer, input_stream) != nullptr &&
           std::ferror(input_stream) == 0) {
        if (!send_frame(line_buffer)) {
            show(tcp ? "\nUnable to write to KISS TNC %s (%s).\n"
                     : "\nUnable to write to serial port %s (%s).\n",
                 kiss::port_name, kiss::failure_reason());
            kiss::port->close();
            return finish(EXIT_FAILED);
        }
        ++frames_sent;
        if (!pause_for(pause_ms)) {
            break;
        }
    }
    const bool read_failed = std::ferror(input_stream) != 0;
    kiss::port->close();
    if (stop_request() != nullptr) {
        return report_stop(frames_sent);  // a read cut short by the signal is no read error
    }
    if (read_failed) {
        show("\nUnable to read input file %s.\n", argv[1]);
        return finish(EXIT_FAILED);
    }
    return finish(EXIT_OK);
}

}  // namespace app
