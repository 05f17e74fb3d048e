#pragma once

#include <windows.h>

// The performance counter, for deadlines: GetTickCount64 moves in steps of
// the system timer (15.6 ms unless raised), too coarse for a 10 ms slice or
// a pause meant to be exact.
namespace kiss::win32_clock {

inline long long now_us() {
    LARGE_INTEGER count{};
    LARGE_INTEGER frequency{};
    (void)QueryPerformanceCounter(&count);  // cannot fail since Windows XP
    (void)QueryPerformanceFrequency(&frequency);
    // Split, so that a long uptime cannot overflow the product.
    return count.QuadPart / frequency.QuadPart * 1'000'000LL +
           count.QuadPart % frequency.QuadPart * 1'000'000LL / frequency.QuadPart;
}

}  // namespace kiss::win32_clock
