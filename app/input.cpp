#include "app/input.h"

#include "app/console.h"

#include <cstring>

namespace app {

namespace {

const char* input_name;
bool following;
// What has been read and not yet handed over as a line.
std::uint8_t buffer[4 * ax25::LINE_CAPACITY];
std::size_t start;
std::size_t end;
bool at_end;

// The length of the line at the start of the buffer, its line feed
// included: up to the first line feed, at most LINE_CAPACITY octets; 0
// while the buffer holds less than that and no line feed.
std::size_t whole_line() {
    const std::size_t waiting = end - start;
    const std::size_t most = waiting < ax25::LINE_CAPACITY ? waiting : ax25::LINE_CAPACITY;
    const void* feed = std::memchr(buffer + start, '\n', most);
    if (feed != nullptr) {
        return static_cast<std::size_t>(static_cast<const std::uint8_t*>(feed) - buffer) - start +
               1;
    }
    return most == ax25::LINE_CAPACITY ? most : 0;
}

}  // namespace

input_opened open_input(const char* name, bool follow) {
    input_name = name;
    following = follow;
    start = end = 0;
    at_end = false;
    return open_source(name);
}

bool open_input_shown(const char* name, bool follow) {
    const input_opened opened = open_input(name, follow);
    if (opened == input_missing && input_failure() != nullptr) {
        show("\nUnable to open input file %s (%s).\n", name, input_failure());
    } else if (opened != input_open) {
        show(opened == input_missing ? "\nUnable to open input file %s.\n"
                                     : "\nUnable to read input file %s.\n",
             name);
    }
    return opened == input_open;
}

input_opened reopen_input() {
    close_source();
    return open_input(input_name, following);
}

void close_input() { close_source(); }

line_result read_line(char (&line)[ax25::LINE_CAPACITY + 1]) {
    std::size_t length = 0;
    while ((length = whole_line()) == 0) {
        if (at_end && !following) {
            if (start == end) {
                return lines_ended;
            }
            length = end - start;  // the last line, without its line feed
            break;
        }
        if (start > 0) {  // room for what comes, after what is waiting
            std::memmove(buffer, buffer + start, end - start);
            end -= start;
            start = 0;
        }
        const long got = at_end ? wait_for_more() : read_input(buffer + end, sizeof buffer - end);
        if (got == READ_FAILED || got == READ_STOPPED) {
            return got == READ_STOPPED ? read_stopped : read_failed;
        }
        if (at_end && got == SOURCE_RESTARTED) {
            start = end = 0;  // a line cut short by the truncation is not sent
        }
        if (!at_end) {
            end += static_cast<std::size_t>(got);
        }
        at_end = !at_end && got == 0;
    }
    std::memcpy(line, buffer + start, length);
    line[length] = '\0';
    start += length;
    return line_read;
}

}  // namespace app
