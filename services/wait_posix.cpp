#include "services/wait.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace services {

namespace {

// A request to stop writes to this pipe, and every wait watches its other
// end, which stays readable from then on: so a signal that comes just
// before a wait cannot leave it waiting out its time.
int stop_pipe[2] = {-1, -1};
volatile std::sig_atomic_t stopping;

timespec as_timespec(long long microseconds) {
    return {static_cast<time_t>(microseconds / 1'000'000),
            static_cast<long>(microseconds % 1'000'000 * 1000)};
}

}  // namespace

void prepare_waits() {
    // Without a pipe a stop still ends a wait: its signal interrupts poll.
    if (pipe2(stop_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        stop_pipe[0] = stop_pipe[1] = -1;
    }
}

void finish_waits() {}

long long now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000LL + now.tv_nsec / 1000;
}

void request_stop() {
    stopping = 1;
    const int saved = errno;  // a signal handler must leave errno as it found it
    // A pipe already full wakes the waits as well.
    [[maybe_unused]] const ssize_t woken = write(stop_pipe[1], "", 1);
    errno = saved;
}

bool stop_requested() { return stopping != 0; }

bool wait_until(long long deadline_us, Waitable input) {
    pollfd watched[] = {{stop_pipe[0], POLLIN, 0}, {input, POLLIN, 0}};
    const long long left = deadline_us - now_us();
    if (stopping == 0 && left > 0) {
        const timespec wait = as_timespec(left);
        (void)ppoll(watched, 2, &wait, nullptr);  // a negative descriptor is not watched
    }
    return stopping == 0;
}

}  // namespace services
