#include "app/console.h"

#include "services/wait.h"

#include <cstdio>
#include <cstring>

namespace app {

namespace {

// What waits for the console: octets from shown to queued (counted from the
// start, so that their difference is what waits), kept in a ring.
char ring[CONSOLE_CAPACITY];
std::size_t shown;
std::size_t queued;
unsigned long dropped;  // messages that found no room since the last notice
bool writing;           // the writer is running

void write_waiting() {
    lock_console();
    for (;;) {
        while (queued == shown) {
            wait_console(-1);
        }
        const std::size_t start = shown % CONSOLE_CAPACITY;
        const std::size_t piece =
            queued - shown < CONSOLE_CAPACITY - start ? queued - shown : CONSOLE_CAPACITY - start;
        unlock_console();
        (void)write_console(ring + start, piece);  // what the console cannot take is lost
        lock_console();
        shown += piece;
        wake_console();
    }
}

// With the lock held.
bool fits(std::size_t length) { return queued - shown + length <= CONSOLE_CAPACITY; }

void put(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        ring[(queued + i) % CONSOLE_CAPACITY] = text[i];
    }
    queued += length;
}

// With the lock held: the one line that says how many messages found no
// room, once the console has shown all that came before them; until then
// every message is dropped, so that the line comes where they were.
void put_notice() {
    if (dropped == 0 || queued != shown) {
        return;
    }
    char notice[96];
    const int length =
        std::snprintf(notice, sizeof notice, "\nThe console was not reading: %lu %s not shown.\n",
                      dropped, dropped == 1 ? "message was" : "messages were");
    put(notice, static_cast<std::size_t>(length));
    dropped = 0;
}

}  // namespace

int utf8_length(const unsigned char* text, std::size_t left) {
    const unsigned lead = text[0];
    const int length = lead < 0x80                    ? 1
                       : lead >= 0xC2 && lead <= 0xDF ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
    for (int i = 1; i < length; ++i) {
        if (static_cast<std::size_t>(i) == left) {
            return -1;
        }
        if ((text[i] & 0xC0U) != 0x80U) {
            return 0;
        }
    }
    const unsigned second = length > 1 ? text[1] : 0;
    const bool refused = (lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
                         (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90);
    return refused ? 0 : length;
}

// C0 and C1 controls and DEL, whether alone or as UTF-8 (U+0080 to U+009F
// are C2 80 to C2 9F), are what a terminal may obey: a title set, the
// screen cleared. Other characters, and octets that are none, show as the
// terminal shows them.
std::size_t shown_as_text(const char* text, char* out) {
    std::size_t length = std::strlen(text);
    if (!console_is_terminal()) {
        std::memcpy(out, text, length + 1);
        return length;
    }
    std::size_t end = length;  // the line's end is shown as it is
    end -= end > 0 && text[end - 1] == '\n' ? 1 : 0;
    end -= end > 0 && end < length && text[end - 1] == '\r' ? 1 : 0;
    const auto* octets = reinterpret_cast<const unsigned char*>(text);
    std::size_t n = 0;
    for (std::size_t i = 0; i < end;) {
        const int character = utf8_length(octets + i, end - i);
        const std::size_t k = character > 0 ? static_cast<std::size_t>(character) : 1;
        const unsigned c = character == 2 && octets[i] == 0xC2 ? octets[i + 1] : octets[i];
        const bool control = c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
        for (std::size_t j = i; j < i + k; ++j) {
            if (control) {
                n += static_cast<std::size_t>(std::snprintf(out + n, 7, "<0x%02X>", octets[j]));
            } else {
                out[n++] = static_cast<char>(octets[j]);
            }
        }
        i += k;
    }
    std::memcpy(out + n, text + end, length - end + 1);
    return n + length - end;
}

char* message_room() {
    static char message[MESSAGE_CAPACITY];  // cppcheck-suppress unassignedVariable
    return message;
}

void open_console() {
    lock_console();
    writing = writing || start_writer(write_waiting);
    unlock_console();
}

void show_text(const char* text, std::size_t length) {
    if (!writing) {
        (void)write_console(text, length);  // no thread: the console is waited for
        return;
    }
    lock_console();
    put_notice();
    if (dropped == 0 && fits(length)) {
        put(text, length);
        wake_console();
    } else {
        ++dropped;
    }
    unlock_console();
}

void close_console() {
    lock_console();
    // What ended the run is shown too; but once a stop has been requested
    // (the console may be closing with its window), a console that does not
    // read is given a second. A signal does not end a wait on the writer:
    // requests are looked for now and then.
    constexpr int LOOK_FOR_STOP_MS = 100;
    constexpr long long AFTER_STOP_US = 1'000'000;
    long long give_up = -1;
    while (writing && (queued != shown || dropped > 0) &&
           (give_up < 0 || services::now_us() < give_up)) {
        if (services::stop_requested() && give_up < 0) {
            give_up = services::now_us() + AFTER_STOP_US;
        }
        put_notice();
        wake_console();
        wait_console(LOOK_FOR_STOP_MS);
    }
    unlock_console();
}

}  // namespace app
