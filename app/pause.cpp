#include "app/process.h"
#include "services/wait.h"

// The build the tests use for long files waits a thousandth of the time.
#ifndef UIPACER_PAUSE_DIVISOR
#define UIPACER_PAUSE_DIVISOR 1
#endif

namespace app {

// The pause sleeps on the port itself: it wakes when the TNC sends something
// (which is drained at once, so that its input queue never fills), when a
// stop is requested, and at its end; a silent TNC costs no wake-up at all.
bool pause_for(const ports::PortOperations& port, std::int32_t milliseconds) {
    const long long deadline = services::now_us() + milliseconds * (1000LL / UIPACER_PAUSE_DIVISOR);
    while (services::now_us() < deadline && port.wait_input(deadline)) {
        port.drain();
    }
    return !services::stop_requested();
}

}  // namespace app
