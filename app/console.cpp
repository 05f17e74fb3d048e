#include "app/console.h"

#include "services/wait.h"

#include <cstdio>

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

// With the lock held: the line that says how many messages found no room,
// once there is room for it.
void put_notice() {
    char notice[96];
    const int length =
        std::snprintf(notice, sizeof notice,
                      "\nThe console was not reading: %lu messages were not shown.\n", dropped);
    if (dropped > 0 && length > 0 && fits(static_cast<std::size_t>(length))) {
        put(notice, static_cast<std::size_t>(length));
        dropped = 0;
    }
}

}  // namespace

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
