#pragma once

#include <cstddef>
#include <cstdint>

// The options that come before the four arguments: what a run does with the
// TNC besides sending the file's frames. Every one is off by default, and a
// run without options is as it always was.
namespace app {

// The longest init text, in octets.
constexpr std::size_t INIT_CAPACITY = 1024;

struct Options {
    std::uint8_t channel;  // the TNC's channel that every frame goes to, 0 to 15
    // The value for each KISS parameter command, 1 to 5, to set before the
    // first frame; -1 for those not given.
    int parameters[6];
    std::uint8_t init[INIT_CAPACITY];  // the init text, its escapes undone
    std::size_t init_length;
    const char* init_given;  // the init text as given, or nullptr
    long init_wait_ms;       // after the init text
    bool exit_kiss;          // the TNC taken out of KISS mode at the end
    bool wait;               // a port missing or lost is waited for
    bool follow;             // the end of the file is waited out, as it grows
    bool timefix;            // an APRS report's timestamp is the time it goes out
    const char* checked;     // the file that --check checks
    long repeat;             // times the file is sent; 0 for no end
    long jitter_ms;          // the most each pause is lengthened by
};
enum options_read {
    options_taken,   // the run goes on; its four arguments come from first on
    help_asked,      // -h or --help: the usage text and the options
    version_asked,   // --version: the banner alone
    ports_asked,     // --list-ports: the serial ports this machine has
    check_asked,     // --check FILE: each line checked against its frame
    option_refused,  // refusal() says which option, and what it takes
};

// Reads the options from argv[1] on into options, to the first argument that
// is none, or to "--".
options_read read_options(int argc, char** argv, Options& options, int* first);

// Why read_options refused an option.
const char* refusal();

// One line per option, for --help.
extern const char* const option_lines[];

}  // namespace app
