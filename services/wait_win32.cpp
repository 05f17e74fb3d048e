#include <windows.h>

#include "services/wait.h"

namespace services {

namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803), which older
// headers lack.
constexpr DWORD HIGH_RESOLUTION_TIMER = 0x2;

HANDLE stop_event;  // set by a request to stop, and left set
HANDLE pacer;       // a waitable timer for the deadlines
volatile LONG stopping;
bool period_raised;  // the system timer was asked for 1 ms steps

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

}  // namespace

void prepare_waits() {
    stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    pacer = CreateWaitableTimerExW(nullptr, nullptr, HIGH_RESOLUTION_TIMER, TIMER_ALL_ACCESS);
    if (pacer == nullptr) {
        // Before Windows 10 1803 there is no high-resolution timer: the
        // system timer is then stepped at 1 ms for the run, not 15.6 ms.
        pacer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        const TimePeriod begin = winmm_function("timeBeginPeriod");
        period_raised = begin != nullptr && begin(1) == 0;
    }
}

void finish_waits() {
    const TimePeriod end = period_raised ? winmm_function("timeEndPeriod") : nullptr;
    if (end != nullptr) {
        (void)end(1);
    }
}

// The performance counter: GetTickCount64 moves in steps of the system
// timer (15.6 ms unless raised), too coarse for a pause meant to be exact.
long long now_us() {
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    (void)QueryPerformanceCounter(&count);  // cannot fail since Windows XP
    (void)QueryPerformanceFrequency(&frequency);
    // Split, so that a long uptime cannot overflow the product.
    return count.QuadPart / frequency.QuadPart * 1'000'000LL +
           count.QuadPart % frequency.QuadPart * 1'000'000LL / frequency.QuadPart;
}

void request_stop() {
    (void)InterlockedExchange(&stopping, 1);
    (void)SetEvent(stop_event);
}

bool stop_requested() { return stopping != 0; }

bool wait_until(long long deadline_us, Waitable input) {
    const bool forever = deadline_us == NO_DEADLINE;
    const long long left = forever ? 1 : deadline_us - now_us();
    if (stopping == 0 && left > 0) {
        LARGE_INTEGER due{};
        due.QuadPart = -left * 10;  // relative, in 100 ns steps
        HANDLE watched[3] = {stop_event};
        DWORD count = 1;
        if (!forever) {
            watched[count++] = pacer;
        }
        if (input != NO_INPUT) {
            watched[count++] = input;
        }
        if ((!forever && SetWaitableTimer(pacer, &due, 0, nullptr, nullptr, FALSE) == FALSE) ||
            WaitForMultipleObjects(count, watched, FALSE, INFINITE) == WAIT_FAILED) {
            Sleep(forever ? 1000 : static_cast<DWORD>((left + 999) / 1000));
        }
    }
    return stopping == 0;
}

}  // namespace services
