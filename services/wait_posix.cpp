#include "services/wait.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
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
// The deadline, set on the monotonic clock: Linux ends a poll's own time-out
// up to a thousandth of its length late (0.1 s for a pause of 100 s), but
// fires this timer on time.
int deadline_timer = -1;

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
    // Without the timer, the wait's own time-out.
    deadline_timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
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
    const bool forever = deadline_us == NO_DEADLINE;
    const long long left = forever ? 1 : deadline_us - now_us();
    if (stopping != 0 || left <= 0) {
        return stopping == 0;
    }
    const itimerspec due{{0, 0}, as_timespec(deadline_us)};
    const bool timed = !forever && deadline_timer >= 0 &&
                       timerfd_settime(deadline_timer, TFD_TIMER_ABSTIME, &due, nullptr) == 0;
    pollfd watched[] = {
        {stop_pipe[0], POLLIN, 0}, {input, POLLIN, 0}, {timed ? deadline_timer : -1, POLLIN, 0}};
    const timespec wait = as_timespec(left);
    // A negative descriptor is not watched; a signal ends the wait too.
    (void)ppoll(watched, 3, forever || timed ? nullptr : &wait, nullptr);
    return stopping == 0;
}

}  // namespace services
