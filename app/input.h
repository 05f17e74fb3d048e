#pragma once

#include "ax25/encoder.h"

#include <cstddef>
#include <cstdint>

// The input: a file by its name, or standard input for "-", read a line at
// a time as fgets reads one (up to and with its line feed, at most
// LINE_CAPACITY octets, so that a longer line comes in pieces). A read that
// waits (a pipe, a terminal, a file that grows) ends when a stop is
// requested. input.cpp cuts the lines; one file per platform reads.
namespace app {

enum input_opened {
    input_open,
    input_missing,     // cannot be opened: input_failure() may say why
    input_unreadable,  // opened, but it is nothing to read lines from (a folder)
};

enum line_result {
    line_read,     // the line is in the buffer, zero-terminated
    lines_ended,   // the end of the input
    read_failed,   // reading it failed
    read_stopped,  // a stop was requested while waiting for a line
};

// Opens the input; with follow, the end of a file is waited out until the
// file grows (see read_line).
input_opened open_input(const char* name, bool follow);
// The same, and when it cannot be opened or read, shows why; false then.
bool open_input_shown(const char* name, bool follow);

// The next line. With follow, a file that ends waits for more: a line is
// given only once its line feed has come; a file truncated is read again
// from its start, and one replaced (a new file renamed over its name) is
// opened again by its name.
line_result read_line(char (&line)[ax25::LINE_CAPACITY + 1]);

// Reads the file again from its start, opened again by its name, so that a
// file replaced since is the new one; a file that has gone cannot be read.
input_opened reopen_input();

void close_input();

// The platform's part. Why the input could not be opened, in the system's
// words, or nullptr when the platform's message names none (Linux).
const char* input_failure();
// Opens name ("-": standard input) to be read with read_input.
input_opened open_source(const char* name);
// Reads what has come, waiting until something has: how many octets, 0 at
// the end, or READ_FAILED or READ_STOPPED.
constexpr long READ_FAILED = -1;
constexpr long READ_STOPPED = -2;
long read_input(std::uint8_t* into, std::size_t capacity);
// At the end of a file that is followed: waits until it has grown (more to
// read, SOURCE_GREW), or was truncated or replaced (opened again if need be
// and to be read from its start, SOURCE_RESTARTED); or READ_FAILED or
// READ_STOPPED.
constexpr long SOURCE_GREW = 1;
constexpr long SOURCE_RESTARTED = 2;
long wait_for_more();
void close_source();

}  // namespace app
