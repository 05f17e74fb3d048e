#pragma once

// The clock, and the waits that a request to stop must end: one file per
// platform behind it. A wait ends when its deadline comes, when the port it
// watches has input, or at once when a stop has been requested, before or
// during it.
namespace services {

// What a wait can watch for input besides the stop: a descriptor on POSIX,
// an event handle on Windows.
#ifdef _WIN32
using Waitable = void*;
constexpr Waitable NO_INPUT = nullptr;
#else
using Waitable = int;
constexpr Waitable NO_INPUT = -1;
#endif

// Readies the waits before any request to stop can come, and gives back
// what that took from the system once the run is over.
void prepare_waits();
void finish_waits();

// Microseconds on a clock that never steps back.
long long now_us();

// Notes a request to stop and ends every wait, now and later. Safe in a
// signal handler and on any thread.
void request_stop();
bool stop_requested();

// Waits until the deadline (NO_DEADLINE: none), input on `input`, or a
// request to stop; false when a stop has been requested.
constexpr long long NO_DEADLINE = -1;
bool wait_until(long long deadline_us, Waitable input);

}  // namespace services
