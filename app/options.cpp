#include "app/options.h"

#include "app/console.h"
#include "kiss/protocol.h"

#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace app {

namespace {

// Options without a letter are keyed beyond every character; the TNC's
// parameters by their KISS command.
constexpr int PARAMETER_KEY = 256;
enum key {
    channel_key = 'c',
    help_key = 'h',
    txdelay_key = PARAMETER_KEY + kiss::TXDELAY,
    persist_key = PARAMETER_KEY + kiss::PERSISTENCE,
    slottime_key = PARAMETER_KEY + kiss::SLOT_TIME,
    txtail_key = PARAMETER_KEY + kiss::TX_TAIL,
    duplex_key = PARAMETER_KEY + kiss::FULL_DUPLEX,
    init_key = 300,
    init_wait_key,
    exit_kiss_key,
    wait_key,
    follow_key,
    timefix_key,
    list_ports_key,
    check_key,
    repeat_key,
    jitter_key,
    version_key,
};

const option long_options[] = {
    {"channel", required_argument, nullptr, channel_key},
    {"txdelay", required_argument, nullptr, txdelay_key},
    {"persist", required_argument, nullptr, persist_key},
    {"slottime", required_argument, nullptr, slottime_key},
    {"txtail", required_argument, nullptr, txtail_key},
    {"duplex", required_argument, nullptr, duplex_key},
    {"init", required_argument, nullptr, init_key},
    {"init-wait", required_argument, nullptr, init_wait_key},
    {"exit-kiss", no_argument, nullptr, exit_kiss_key},
    {"wait", no_argument, nullptr, wait_key},
    {"follow", no_argument, nullptr, follow_key},
    {"timefix", no_argument, nullptr, timefix_key},
    {"list-ports", no_argument, nullptr, list_ports_key},
    {"check", required_argument, nullptr, check_key},
    {"repeat", required_argument, nullptr, repeat_key},
    {"jitter", required_argument, nullptr, jitter_key},
    {"help", no_argument, nullptr, help_key},
    {"version", no_argument, nullptr, version_key},
    {nullptr, 0, nullptr, 0},
};

// What an option takes: for a number, from low to high in steps.
struct Takes {
    int key;
    const char* what;
    long low;
    long high;
    long step;
};
constexpr long MAX_MS = 60'000;
constexpr long MAX_PARAMETER_MS = 255L * kiss::PARAMETER_UNIT_MS;
const char* const TIME = "milliseconds, 0 to 2550 in steps of 10";
const Takes takes[] = {
    {channel_key, "a KISS port, 0 to 15", 0, kiss::CHANNELS - 1, 1},
    {txdelay_key, TIME, 0, MAX_PARAMETER_MS, kiss::PARAMETER_UNIT_MS},
    {persist_key, "a persistence, 0 to 255", 0, 255, 1},
    {slottime_key, TIME, 0, MAX_PARAMETER_MS, kiss::PARAMETER_UNIT_MS},
    {txtail_key, TIME, 0, MAX_PARAMETER_MS, kiss::PARAMETER_UNIT_MS},
    {duplex_key, "half or full", 0, 0, 1},
    {init_key,
     "a text of at most 1024 octets, in which \\r, \\n, \\\\ and \\xHH stand for those octets", 0,
     0, 1},
    {init_wait_key, "milliseconds, 0 to 60000", 0, MAX_MS, 1},
    {repeat_key, "a number of times, 0 for no end", 0, 0x7FFF'FFFF, 1},
    {jitter_key, "milliseconds, 0 to 60000", 0, MAX_MS, 1},
};

char refused[512];
// The option as the user wrote it: "-c", or "--channel" up to its '='.
char written[64];

// A value as a refusal shows it: at most 60 characters, then "…".
const char* shown_value(const char* value) {
    constexpr int MOST_SHOWN = 60;
    static char shown[4 * MOST_SHOWN + 4];
    const auto* octets = reinterpret_cast<const unsigned char*>(value);
    const std::size_t length = std::strlen(value);
    std::size_t at = 0;
    for (int characters = 0; at < length && characters < MOST_SHOWN; ++characters) {
        const int k = utf8_length(octets + at, length - at);
        at += k > 0 ? static_cast<std::size_t>(k) : 1;
    }
    (void)std::snprintf(shown, sizeof shown, "%.*s%s", static_cast<int>(at), value,
                        at < length ? "\u2026" : "");
    return shown;
}

// Notes the option that getopt_long gave key for (index: its long option,
// if one was recognised) as the user wrote it. A short one, alone or in a
// group, is its letter; a long one is its element of argv (the one before
// its value, if that came apart), up to any '='. False for one that is none
// of ours, or a long one cut short: an abbreviation is refused, so that an
// option added later cannot change what a command line means.
bool name_written(int key, int index, char** argv) {
    const int letter = key == '?' || key == ':' ? optopt : key;
    const bool separate = index >= 0 && optarg != nullptr && optarg == argv[optind - 1];
    const char* element = argv[optind - (separate ? 2 : 1)];
    // Errors but these concern short options: a long option unknown (0), a
    // long one without its value, and a value given to a long flag.
    const bool long_form = index >= 0 || letter == 0 || letter >= PARAMETER_KEY ||
                           (key == ':' && std::strncmp(element, "--", 2) == 0) ||
                           (key == '?' && letter == help_key);
    if (!long_form) {
        (void)std::snprintf(written, sizeof written, "-%c", letter);
        return key != '?';
    }
    const std::size_t length = std::strcspn(element, "=");
    (void)std::snprintf(written, sizeof written, "%.*s", static_cast<int>(length), element);
    const option* named = std::find_if(std::begin(long_options), std::end(long_options),
                                       [letter](const option& o) { return o.val == letter; });
    return letter != 0 && std::strcmp(written + 2, named->name) == 0;
}

const Takes* takes_of(int key) {
    const Takes* found = std::find_if(std::begin(takes), std::end(takes),
                                      [key](const Takes& t) { return t.key == key; });
    return found == std::end(takes) ? nullptr : found;
}

// Decimal digits and nothing else, within the range and on its steps.
bool number(const char* text, const Takes& range, long& value) {
    value = 0;
    std::size_t digits = 0;
    for (; text[digits] >= '0' && text[digits] <= '9' && value <= range.high; ++digits) {
        value = value * 10 + (text[digits] - '0');
    }
    return digits > 0 && text[digits] == '\0' && value >= range.low && value <= range.high &&
           value % range.step == 0;
}

int hex_digit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// The init text's octets: \r, \n, \\ and \xHH stand for those octets.
bool unescape(const char* text, Options& options) {
    options.init_length = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        int octet = static_cast<unsigned char>(*c);
        if (*c == '\\') {
            ++c;
            octet = *c == 'r' ? '\r' : *c == 'n' ? '\n' : *c == '\\' ? '\\' : -1;
            if (*c == 'x' && hex_digit(c[1]) >= 0 && hex_digit(c[2]) >= 0) {
                octet = hex_digit(c[1]) * 16 + hex_digit(c[2]);
                c += 2;
            }
        }
        if (octet < 0 || options.init_length == INIT_CAPACITY) {
            return false;
        }
        options.init[options.init_length++] = static_cast<std::uint8_t>(octet);
    }
    return true;
}

// Takes one option's value, or says what the option takes.
bool take(int key, const char* value, Options& options) {
    long taken = 0;
    const Takes& range = *takes_of(key);
    if (key == init_key && value[0] == '\0') {
        (void)std::snprintf(refused, sizeof refused, "\nOption %s takes %s.\n", written,
                            range.what);
        return false;
    }
    const bool valid = key == duplex_key
                           ? std::strcmp(value, "half") == 0 || std::strcmp(value, "full") == 0
                       : key == init_key ? unescape(value, options)
                                         : number(value, range, taken);
    if (!valid) {
        (void)std::snprintf(refused, sizeof refused, "\nOption %s takes %s, not %s.\n", written,
                            range.what, shown_value(value));
        return false;
    }
    switch (key) {
    case channel_key:
        options.channel = static_cast<std::uint8_t>(taken);
        break;
    case duplex_key:
        options.parameters[kiss::FULL_DUPLEX] = value[0] == 'f' ? 1 : 0;
        break;
    case init_key:
        options.init_given = value;
        break;
    case init_wait_key:
        options.init_wait_ms = taken;
        break;
    case repeat_key:
        options.repeat = taken;
        break;
    case jitter_key:
        options.jitter_ms = taken;
        break;
    case persist_key:
        options.parameters[kiss::PERSISTENCE] = static_cast<int>(taken);
        break;
    default:  // a time, in units of 10 ms
        options.parameters[key - PARAMETER_KEY] = static_cast<int>(taken / kiss::PARAMETER_UNIT_MS);
    }
    return true;
}

// An option that is none of ours (an abbreviation too), one without its
// value, or one given a value that it does not take.
options_read refuse(int key, bool known) {
    const Takes* range = takes_of(optopt);
    if (known && key == ':' && range != nullptr) {
        (void)std::snprintf(refused, sizeof refused, "\nOption %s takes %s.\n", written,
                            range->what);
    } else if (known && key == '?') {
        (void)std::snprintf(refused, sizeof refused, "\nOption %s takes no value.\n", written);
    } else {
        (void)std::snprintf(refused, sizeof refused,
                            "\nUnknown option %s: uipacer --help lists them.\n", written);
    }
    return option_refused;
}

}  // namespace

const char* const option_lines[] = {
    "-c, --channel N     send every frame to the TNC's KISS port N, 0 to 15\n",
    "--txdelay MS        set the TNC's TXDELAY first: 0 to 2550 ms in steps of 10\n",
    "--persist P         set its persistence first: 0 to 255\n",
    "--slottime MS       set its slot time first: 0 to 2550 ms in steps of 10\n",
    "--txtail MS         set its TX tail first: 0 to 2550 ms in steps of 10\n",
    "--duplex half|full  set it to half or full duplex first\n",
    "--init TEXT         send TEXT to the TNC before anything else; \\r, \\n, \\\\, \\xHH\n",
    "--init-wait MS      wait that long after the init text: 0 to 60000 ms (1000)\n",
    "--exit-kiss         take the TNC out of KISS mode at the end\n",
    "--wait              wait for a port that is missing or lost, and go on\n",
    "--follow            at the end of the file, wait for more lines, as tail -F does\n",
    "--timefix           send an APRS report's timestamp as the time it goes out\n",
    "--repeat N          send the file N times, 0 for no end (1)\n",
    "--jitter MS         lengthen each pause by a random 0 to MS ms, MS up to 60000\n",
    "--list-ports        list this machine's serial ports, and end\n",
    "--check FILE        show each line of FILE whose frame says otherwise, and end\n",
    "-h, --help          show this text\n",
    "--version           show the version\n",
    nullptr,
};

options_read read_options(int argc, char** argv, Options& options, int* first) {
    options = Options{};
    std::fill(std::begin(options.parameters), std::end(options.parameters), -1);
    options.init_wait_ms = 1000;
    options.repeat = 1;
    opterr = 0;  // the refusals are ours
    optind = 0;  // from the start, whatever came before
    // "+": the options end at the first argument that is none; ":" tells a
    // missing value apart from an unknown option.
    int index = -1;
    bool repeated = false;
    for (int key = 0; optarg = nullptr, index = -1,
             (key = getopt_long(argc, argv, "+:c:h", long_options, &index)) != -1;) {
        if (!name_written(key, index, argv)) {
            return refuse(key, false);
        }
        if (key == '?' || key == ':') {
            return refuse(key, true);
        }
        switch (key) {
        case help_key:
            return help_asked;
        case version_key:
            return version_asked;
        case list_ports_key:
            return ports_asked;
        case check_key:
            options.checked = optarg;
            return check_asked;
        case exit_kiss_key:
            options.exit_kiss = true;
            break;
        case wait_key:
            options.wait = true;
            break;
        case follow_key:
            options.follow = true;
            break;
        case timefix_key:
            options.timefix = true;
            break;
        default:
            if (!take(key, optarg, options)) {
                return option_refused;
            }
            repeated = repeated || key == repeat_key;
        }
    }
    if (options.follow && repeated) {  // a file followed has no end to start again from
        (void)std::snprintf(refused, sizeof refused,
                            "\nOptions --follow and --repeat do not go together.\n");
        return option_refused;
    }
    *first = optind;
    return options_taken;
}

const char* refusal() { return refused; }

}  // namespace app
