#include "app/process.h"
#include "kiss/clock_posix.h"
#include "kiss/port.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

// The build the tests use for long files waits a thousandth of the time.
#ifndef UIPACER_PAUSE_DIVISOR
#define UIPACER_PAUSE_DIVISOR 1
#endif

namespace app {

namespace {

struct Stop {
    int signal;
    const char* name;
};
const Stop stops[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// What the TNC sends is taken this often during the pause, so that its
// input queue never fills, even at 115200 Bd.
constexpr long long DRAIN_SLICE_NS = 10'000'000;

volatile std::sig_atomic_t requested;  // the signal's number; 0 while none has come
sigset_t watched;                      // the signals of stops[] that we handle

extern "C" void note_stop(int signal) {
    if (requested == 0) {
        requested = signal;
    }
}

}  // namespace

void prepare_process() {
    // A descriptor that came closed is reopened on /dev/null: open() takes
    // the lowest free one, so this one. Otherwise the input file or the
    // device would become "standard output", and every announcement would
    // go to the TNC. If even that fails there is nothing better to do.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            (void)open("/dev/null", O_RDWR);
        }
    }
    // A console piped into a reader that went away must not end the run:
    // the write fails instead, and the announcement is dropped.
    (void)std::signal(SIGPIPE, SIG_IGN);

    // Without SA_RESTART, so that a read of the input from a pipe or a
    // terminal is interrupted too. A signal that came ignored (nohup, a
    // background job) stays ignored.
    sigemptyset(&watched);
    for (const Stop& stop : stops) {
        struct sigaction action {};
        if (sigaction(stop.signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) {
            continue;
        }
        action = {};
        action.sa_handler = note_stop;
        sigemptyset(&action.sa_mask);
        if (sigaction(stop.signal, &action, nullptr) == 0) {
            sigaddset(&watched, stop.signal);
        }
    }
}

std::FILE* open_input(const char* name) { return std::fopen(name, "rb"); }

bool pause_for(std::int32_t milliseconds) {
    const long long deadline =
        kiss::posix_clock::now_ns() + milliseconds * (1'000'000LL / UIPACER_PAUSE_DIVISOR);
    // The signals are let in only inside ppoll, so that one arriving between
    // the check and the wait cannot leave us waiting out the whole pause.
    sigset_t outside;
    (void)sigprocmask(SIG_BLOCK, &watched, &outside);
    for (long long left; requested == 0 && (left = deadline - kiss::posix_clock::now_ns()) > 0;) {
        const timespec wait{0, static_cast<long>(left < DRAIN_SLICE_NS ? left : DRAIN_SLICE_NS)};
        (void)ppoll(nullptr, 0, &wait, &outside);
        kiss::drain_input();
    }
    (void)sigprocmask(SIG_SETMASK, &outside, nullptr);
    return requested == 0;
}

const char* stop_request() {
    for (const Stop& stop : stops) {
        if (stop.signal == requested) {
            return stop.name;
        }
    }
    return nullptr;
}

int stop_status() { return 128 + requested; }

void process_finished() {}

}  // namespace app
