#include <windows.h>

#include "app/process.h"
#include "kiss/port.h"

#include <csignal>

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
};

volatile LONG requested;  // 1 + the index in stops[] of the first request; 0 while none has come
HANDLE stop_event;        // set when a request comes, so that the pause ends
HANDLE finished_event;    // set when the port has been released

const Stop* request() { return requested == 0 ? nullptr : &stops[requested - 1]; }

// Runs on a thread of its own that Windows starts for the event.
BOOL WINAPI note_stop(DWORD event) {
    for (LONG i = 0; i < static_cast<LONG>(sizeof stops / sizeof stops[0]); ++i) {
        if (stops[i].event != event) {
            continue;
        }
        (void)InterlockedCompareExchange(&requested, i + 1, 0);
        (void)SetEvent(stop_event);
        if (event == CTRL_CLOSE_EVENT) {
            // Windows ends the process as soon as this returns, and at the
            // latest 5 s after the event: hold it until the port is free.
            (void)WaitForSingleObject(finished_event, 4000);
        }
        return TRUE;
    }
    return FALSE;
}

}  // namespace

// Windows has no console descriptors for a file to take, and no SIGPIPE.
void prepare_process() {
    stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    finished_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Without the events the pause could not be ended early, so the
    // requests are left to Windows' own handling.
    if (stop_event != nullptr && finished_event != nullptr) {
        (void)SetConsoleCtrlHandler(note_stop, TRUE);
    }
}

// What the TNC sends is taken this often during the pause, so that the
// driver's input queue never overflows (which, with abort on error, would
// fail the writes that follow).
constexpr DWORD DRAIN_SLICE_MS = 10;

bool pause_for(std::int32_t milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
    for (ULONGLONG now; requested == 0 && (now = GetTickCount64()) < deadline;) {
        const DWORD left = static_cast<DWORD>(deadline - now);
        const DWORD slice = left < DRAIN_SLICE_MS ? left : DRAIN_SLICE_MS;
        if (WaitForSingleObject(stop_event, slice) == WAIT_FAILED) {
            Sleep(slice);
        }
        kiss::drain_input();
    }
    return requested == 0;
}

const char* stop_request() { return request() == nullptr ? nullptr : request()->name; }

int stop_status() { return request() == nullptr ? 0 : request()->status; }

void process_finished() {
    if (finished_event != nullptr) {
        (void)SetEvent(finished_event);
    }
}

}  // namespace app
