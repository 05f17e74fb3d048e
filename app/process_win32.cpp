#include <windows.h>

#include "app/process.h"
#include "kiss/clock_win32.h"
#include "kiss/port.h"

#include <csignal>
#include <cstdio>

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

// What the TNC sends is taken this often during the pause, so that the
// driver's input queue never overflows (which, with abort on error, would
// fail the writes that follow).
constexpr long long DRAIN_SLICE_US = 10'000;

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803), which older
// headers lack.
constexpr DWORD HIGH_RESOLUTION_TIMER = 0x2;

volatile LONG requested;  // 1 + the index in stops[] of the first request; 0 while none has come
HANDLE stop_event;        // set when a request comes, so that the pause ends
HANDLE pacer;             // a waitable timer for the slices of the pause
UINT console_code_page;   // the console's own, given back at the end
bool period_raised;       // the system timer was asked for 1 ms steps

const Stop* request() { return requested == 0 ? nullptr : &stops[requested - 1]; }

// Runs on a thread of its own that Windows starts for the event.
BOOL WINAPI note_stop(DWORD event) {
    for (LONG i = 0; i < static_cast<LONG>(sizeof stops / sizeof stops[0]); ++i) {
        if (stops[i].event != event) {
            continue;
        }
        (void)InterlockedCompareExchange(&requested, i + 1, 0);
        (void)SetEvent(stop_event);
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

using TimePeriod = UINT(WINAPI*)(UINT);

// winmm's timeBeginPeriod or timeEndPeriod, or nullptr. winmm is loaded only
// where it is needed, because it brings user32 with it, and a console
// program that has loaded user32 no longer hears of logging off and shutting
// down.
TimePeriod winmm_function(const char* name) {
    HMODULE winmm = LoadLibraryA("winmm.dll");
    const FARPROC found = winmm == nullptr ? nullptr : GetProcAddress(winmm, name);
    // FARPROC is the generic function pointer that GetProcAddress returns.
    return reinterpret_cast<TimePeriod>(reinterpret_cast<void (*)()>(found));
}

// One slice of the pause; a request to stop ends it early.
void wait_slice(long long microseconds) {
    LARGE_INTEGER due{};
    due.QuadPart = -microseconds * 10;  // relative, in 100 ns steps
    const HANDLE both[] = {stop_event, pacer};
    if (SetWaitableTimer(pacer, &due, 0, nullptr, nullptr, FALSE) == FALSE ||
        WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_FAILED) {
        Sleep(static_cast<DWORD>((microseconds + 999) / 1000));
    }
}

}  // namespace

// Windows has no console descriptors for a file to take, and no SIGPIPE.
void prepare_process() {
    stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Without the event the pause could not be ended early, so the requests
    // are left to Windows' own handling.
    if (stop_event != nullptr) {
        (void)SetConsoleCtrlHandler(note_stop, TRUE);
    }
    pacer = CreateWaitableTimerExW(nullptr, nullptr, HIGH_RESOLUTION_TIMER, TIMER_ALL_ACCESS);
    if (pacer == nullptr) {
        // Before Windows 10 1803 there is no high-resolution timer: the
        // system timer is then stepped at 1 ms for the run, not 15.6 ms.
        pacer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        const TimePeriod begin = winmm_function("timeBeginPeriod");
        period_raised = begin != nullptr && begin(1) == 0;
    }
    // File names and Windows' messages are passed on in UTF-8; the console
    // shows them rightly only in that code page. 0 when there is no console.
    console_code_page = GetConsoleOutputCP();
    if (console_code_page != 0) {
        (void)SetConsoleOutputCP(CP_UTF8);
    }
}

std::FILE* open_input(const char* name) {
    static wchar_t wide_name[32768];  // the longest path Windows takes
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide_name,
                            sizeof wide_name / sizeof wide_name[0]) == 0) {
        return nullptr;
    }
    return _wfopen(wide_name, L"rb");
}

bool pause_for(std::int32_t milliseconds) {
    const long long deadline = kiss::win32_clock::now_us() + milliseconds * 1000LL;
    for (long long left; requested == 0 && (left = deadline - kiss::win32_clock::now_us()) > 0;) {
        wait_slice(left < DRAIN_SLICE_US ? left : DRAIN_SLICE_US);
        kiss::drain_input();
    }
    return requested == 0;
}

const char* stop_request() { return request() == nullptr ? nullptr : request()->name; }

int stop_status() { return request() == nullptr ? 0 : request()->status; }

void process_finished() {
    if (console_code_page != 0) {
        (void)SetConsoleOutputCP(console_code_page);
    }
    const TimePeriod end = period_raised ? winmm_function("timeEndPeriod") : nullptr;
    if (end != nullptr) {
        (void)end(1);
    }
}

}  // namespace app
