#include "app/process.h"
#include "services/descriptors.h"
#include "services/wait.h"

#include <csignal>

namespace app {

namespace {

struct Stop {
    int signal;
    const char* name;
};
const Stop stops[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

volatile std::sig_atomic_t requested;  // the signal's number; 0 while none has come

extern "C" void note_stop(int signal) {
    if (requested == 0) {
        requested = signal;
    }
    services::request_stop();
}

}  // namespace

void prepare_process() {
    // Otherwise the input file or the device could become "standard
    // output", and every announcement would go to the TNC.
    services::open_standard_descriptors();
    // A console piped into a reader that went away must not end the run:
    // the write fails instead, and the announcement is dropped.
    (void)std::signal(SIGPIPE, SIG_IGN);
    services::prepare_waits();

    // Without SA_RESTART, so that a read of the input from a pipe or a
    // terminal is interrupted too. A signal that came ignored (nohup, a
    // background job) stays ignored.
    for (const Stop& stop : stops) {
        struct sigaction action {};
        if (sigaction(stop.signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) {
            continue;
        }
        action = {};
        action.sa_handler = note_stop;
        sigemptyset(&action.sa_mask);
        (void)sigaction(stop.signal, &action, nullptr);
    }
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

void process_finished() { services::finish_waits(); }

}  // namespace app
