#include <windows.h>

#include "app/process.h"
#include "services/system_message_win32.h"
#include "services/wait.h"

#include <fcntl.h>
#include <io.h>

#include <csignal>
#include <cstdio>
#include <cwchar>

namespace app {

namespace {

struct Stop {
    DWORD event;
    const char* name;
    int status;  // 128 plus the C runtime's signal for the event
};
const Stop stops[] = {
    {CTRL_C_EVENT, "Ctrl-C", 128 + SIGINT},
    {CTRL_BREAK_EVENT, "Ctrl-Break", 128 + SIGBREAK},
    {CTRL_CLOSE_EVENT, "closing the console", 128 + SIGTERM},
    {CTRL_LOGOFF_EVENT, "logging off", 128 + SIGTERM},
    {CTRL_SHUTDOWN_EVENT, "shutting down", 128 + SIGTERM},
};

volatile LONG requested;  // 1 + the index in stops[] of the first request; 0 while none has come

const Stop* request() { return requested == 0 ? nullptr : &stops[requested - 1]; }

// Runs on a thread of its own that Windows starts for the event.
BOOL WINAPI note_stop(DWORD event) {
    for (LONG i = 0; i < static_cast<LONG>(sizeof stops / sizeof stops[0]); ++i) {
        if (stops[i].event != event) {
            continue;
        }
        (void)InterlockedCompareExchange(&requested, i + 1, 0);
        services::request_stop();
        if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
            // Windows ends the process as soon as this returns, or when its
            // own time-out runs out: never return, so that the run finishes
            // its frame, releases the port and exits with its own status.
            for (;;) {
                Sleep(INFINITE);
            }
        }
        return TRUE;
    }
    return FALSE;
}

}  // namespace

// Windows has no console descriptors for a file to take, and no SIGPIPE.
void prepare_process() {
    services::prepare_waits();
    (void)SetConsoleCtrlHandler(note_stop, TRUE);
}

const char* stop_request() { return request() == nullptr ? nullptr : request()->name; }

int stop_status() { return request() == nullptr ? 0 : request()->status; }

void process_finished() { services::finish_waits(); }

}  // namespace app
