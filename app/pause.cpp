#include "app/process.h"
#include "kiss/port.h"
#include "kiss/wait.h"

// The build the tests use for long files waits a thousandth of the time.
#ifndef UIPACER_PAUSE_DIVISOR
#define UIPACER_PAUSE_DIVISOR 1
#endif

namespace app {

// The pause sleeps on the port itself: it wakes when the TNC sends something
// (which is drained at once, so that its input queue never fills), when a
// stop is requested, and at its end; a silent TNC costs no wake-up at all.
bool pause_for(std::int32_t milliseconds) {
    const long long deadline = kiss::now_us() + milliseconds * (1000LL / UIPACER_PAUSE_DIVISOR);
    while (kiss::now_us() < deadline && kiss::port->wait_input(deadline)) {
        kiss::port->drain();
    }
    return !kiss::stop_requested();
}

}  // namespace app
