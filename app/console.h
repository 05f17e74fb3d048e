#pragma once

#include "ports/port.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

// The console. Everything the run shows goes through it, in order, and a
// thread of its own writes it, so that a console that stops reading (text
// selected in a Windows console window, Ctrl-S in a terminal, a pipe whose
// reader has stopped) never holds up a frame or a pause: what waits is kept
// in memory, and shown once the console reads again. console.cpp keeps the
// text; one file per platform writes it.
namespace app {

// Most text kept waiting for the console; what comes beyond it is dropped,
// and one line says how many messages were.
constexpr std::size_t CONSOLE_CAPACITY = 1 << 20;

// Starts the writer, once, before anything is shown.
void open_console();

// Queues text to be shown; never waits for the console.
void show_text(const char* text, std::size_t length);

// Each message goes to the console as it is made, so that a console piped
// into a log shows every frame as it goes out, not at exit. The console
// serves the operator: one that cannot be written, or stops reading, must
// never stop the frames.
inline void show(const char* text) { show_text(text, std::strlen(text)); }

// A message made as printf makes it, in room for the longest: two device
// paths and a system's reason. On the run's thread alone.
constexpr std::size_t MESSAGE_CAPACITY = 2 * ports::NAME_CAPACITY + std::size_t{3} * 32'768;
char* message_room();
template <typename... Details>
void show(const char* format, Details... details) {
    const int length = std::snprintf(message_room(), MESSAGE_CAPACITY, format, details...);
    if (length > 0) {
        show_text(message_room(), static_cast<std::size_t>(length) < MESSAGE_CAPACITY
                                      ? static_cast<std::size_t>(length)
                                      : MESSAGE_CAPACITY - 1);
    }
}

// Waits until all that was queued has been shown; after a request to stop,
// for a second at the most.
void close_console();

// Text from the input as the console is to show it, into out: on a
// terminal, its control characters (but the line feed that ends it, and a
// carriage return before that) as <0xNN>, so that the console shows the
// text and never obeys it; elsewhere (a file, a pipe) as it is. Returns the
// length, which the longest line keeps within 6 octets an octet.
std::size_t shown_as_text(const char* text, char* out);

// The length of the UTF-8 character at text: 1 to 4, 0 when the octets
// there are not one (overlong forms, surrogates and what lies beyond
// U+10FFFF included), -1 when the text ends inside it.
int utf8_length(const unsigned char* text, std::size_t left);

// The platform's part. Writes all of text to standard output; false when
// the console cannot take it (gone, or full).
bool write_console(const char* text, std::size_t length);
// Whether standard output is a terminal (a console window on Windows).
bool console_is_terminal();
// Runs writer on a thread of its own that no request to stop interrupts;
// false when there is no thread to be had.
bool start_writer(void (*writer)());
// The lock that the run and the writer share, and the signal between them:
// wait_console, with the lock held, lets it go until wake_console is called
// or milliseconds have passed (-1: however long that takes).
void lock_console();
void unlock_console();
void wait_console(int milliseconds);
void wake_console();

}  // namespace app
