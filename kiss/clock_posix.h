#pragma once

#include <cerrno>
#include <ctime>

// The monotonic clock, for the write time-out and the pause between frames.
namespace kiss::posix_clock {

inline long long now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// Sleeps to an absolute deadline, so that a signal arriving meanwhile does
// not stretch or shorten the wait.
inline void sleep_until(long long deadline_ns) {
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(deadline_ns / 1'000'000'000LL);
    deadline.tv_nsec = static_cast<long>(deadline_ns % 1'000'000'000LL);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace kiss::posix_clock
