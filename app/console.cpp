#include "app/console.h"

#include "kiss/wait.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>

namespace app {

namespace {

// What waits for the console: octets from shown to queued (counted from the
// start, so that their difference is what waits), kept in a ring.
char ring[CONSOLE_CAPACITY];
std::size_t shown;
std::size_t queued;
unsigned long dropped;  // messages that found no room since the last notice
bool writing;           // the writer is running

// Never destroyed: the writer waits on them until the process ends, and a
// condition variable destroyed at exit would wait for it for ever.
alignas(std::mutex) unsigned char lock_room[sizeof(std::mutex)];
alignas(std::condition_variable) unsigned char moved_room[sizeof(std::condition_variable)];
std::mutex& lock = *new (lock_room) std::mutex;
std::condition_variable& moved = *new (moved_room) std::condition_variable;  // queued, or shown

void write_waiting() {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        moved.wait(hold, [] { return queued != shown; });
        const std::size_t start = shown % CONSOLE_CAPACITY;
        const std::size_t piece =
            queued - shown < CONSOLE_CAPACITY - start ? queued - shown : CONSOLE_CAPACITY - start;
        hold.unlock();
        (void)write_console(ring + start, piece);  // what the console cannot take is lost
        hold.lock();
        shown += piece;
        moved.notify_all();
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
    const std::lock_guard<std::mutex> hold(lock);
    writing = writing || start_writer(write_waiting);
}

void show_text(const char* text, std::size_t length) {
    if (!writing) {
        (void)write_console(text, length);  // no thread: the console is waited for
        return;
    }
    const std::lock_guard<std::mutex> hold(lock);
    put_notice();
    if (dropped == 0 && fits(length)) {
        put(text, length);
        moved.notify_all();
    } else {
        ++dropped;
    }
}

void close_console() {
    using clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> hold(lock);
    // What ended the run is shown too; but once a stop has been requested
    // (the console may be closing with its window), a console that does not
    // read is given a second. A signal cannot wake a condition variable:
    // requests are looked for now and then.
    constexpr std::chrono::milliseconds LOOK_FOR_STOP{100};
    constexpr std::chrono::seconds AFTER_STOP{1};
    clock::time_point give_up = clock::time_point::max();
    while (writing && (queued != shown || dropped > 0) && clock::now() < give_up) {
        if (kiss::stop_requested() && give_up == clock::time_point::max()) {
            give_up = clock::now() + AFTER_STOP;
        }
        put_notice();
        moved.notify_all();
        moved.wait_for(hold, LOOK_FOR_STOP);
    }
}

}  // namespace app
