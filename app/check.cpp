#include "app/check.h"

#include "app/console.h"
#include "app/input.h"
#include "ax25/decode.h"
#include "ax25/encoder.h"
#include "ports/list.h"

#include <cstring>

namespace app {

namespace {

constexpr std::size_t SHOWN = 6 * ax25::FRAME_CAPACITY + 64;  // each octet at most "<0xNN>"
char written[SHOWN];
char sent[SHOWN];

// The line as the monitor would show it, up to its first zero, and without
// an SSID of 0 ("N0CALL-0"), which the frame says as no SSID at all.
void show_written(const char* line) {
    const auto* octets = reinterpret_cast<const std::uint8_t*>(line);
    (void)ax25::format_text(octets, std::strlen(line), written, sizeof written);
    const char* info = std::strchr(written, ':');
    char* to = written;
    for (const char* from = written; *from != '\0';) {
        const std::size_t zeros = from[0] == '-' ? std::strspn(from + 1, "0") : 0;
        const char after = from[zeros + 1];
        if (zeros > 0 && zeros <= 2 && (info == nullptr || from < info) &&
            (after == '>' || after == ',' || after == ':' || after == '*')) {
            from += zeros + 1;
        } else {
            *to++ = *from++;
        }
    }
    *to = '\0';
}

}  // namespace

int list_serial_ports() {
    static ports::Listed found[64];
    const std::size_t count = ports::list_ports(found, sizeof found / sizeof found[0]);
    show(count == 0 ? "No serial ports found on this machine.\n"
                    : "Serial ports on this machine:\n");
    for (std::size_t i = 0; i < count; ++i) {
        show(found[i].detail[0] == '\0' ? " %s\n" : " %s  %s\n", found[i].name, found[i].detail);
    }
    return 0;
}

int check_file(const char* name) {
    if (!open_input_shown(name, false)) {
        return 1;
    }
    static char line[ax25::LINE_CAPACITY + 1];
    static std::uint8_t frame[ax25::FRAME_CAPACITY];
    unsigned long number = 1;
    unsigned long lines = 0;
    unsigned long otherwise = 0;
    line_result read = line_read;
    // A line in pieces (longer than the reader's) keeps its number.
    for (; (read = read_line(line)) == line_read;
         number += std::strchr(line, '\n') != nullptr ? 1 : 0) {
        ax25::Frame decoded{};
        const char* flaw = ax25::decode_frame(frame, ax25::encode_frame(line, frame), decoded);
        show_written(line);
        if (decoded.complete) {
            (void)ax25::format_tnc2(decoded, sent, sizeof sent);
        }
        ++lines;
        if (flaw == nullptr && std::strcmp(written, sent) == 0) {
            continue;
        }
        ++otherwise;
        show("Line %lu: %s\n", number, written);
        if (decoded.complete) {
            show(" goes out as %s\n", sent);
        }
        if (flaw != nullptr) {
            show(" ! %s\n", flaw);
        }
    }
    close_input();
    if (read != lines_ended) {
        show("\nUnable to read input file %s.\n", name);
        return 1;
    }
    if (otherwise == 0) {
        show("\nEvery line of %s goes out as written.\n", name);
        return 0;
    }
    show(otherwise == 1 ? "\n%lu line of %lu in %s does not go out as written.\n"
                        : "\n%lu lines of %lu in %s do not go out as written.\n",
         otherwise, lines, name);
    return 1;
}

}  // namespace app
