#include "app/console.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace app {

namespace {

void (*thread_work)();
pthread_mutex_t console_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t console_moved = PTHREAD_COND_INITIALIZER;

extern "C" void* run_writer(void* /*unused*/) {
    thread_work();
    return nullptr;
}

}  // namespace

bool write_console(const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(STDOUT_FILENO, text, length);
        if (n < 0 && errno != EINTR) {
            return false;  // a reader that has gone (SIGPIPE is ignored), a full disk
        }
        text += n > 0 ? n : 0;
        length -= n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

bool console_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

// The stop signals are blocked on the writer, so that they always reach the
// run's own thread and interrupt a read of the input.
bool start_writer(void (*writer)()) {
    thread_work = writer;
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    (void)pthread_sigmask(SIG_BLOCK, &all, &before);
    pthread_t thread{};
    const bool started = pthread_create(&thread, nullptr, run_writer, nullptr) == 0;
    (void)pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return started && pthread_detach(thread) == 0;
}

void lock_console() { (void)pthread_mutex_lock(&console_lock); }
void unlock_console() { (void)pthread_mutex_unlock(&console_lock); }
void wake_console() { (void)pthread_cond_broadcast(&console_moved); }

void wait_console(int milliseconds) {
    if (milliseconds < 0) {
        (void)pthread_cond_wait(&console_moved, &console_lock);
        return;
    }
    // On the monotonic clock, which no change of the system's time moves.
    timespec until{};
    (void)clock_gettime(CLOCK_MONOTONIC, &until);
    const long long ns = until.tv_nsec + milliseconds * 1'000'000LL;
    until.tv_sec += static_cast<time_t>(ns / 1'000'000'000);
    until.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    (void)pthread_cond_clockwait(&console_moved, &console_lock, CLOCK_MONOTONIC, &until);
}

}  // namespace app
