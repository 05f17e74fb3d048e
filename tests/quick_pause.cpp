// The pause between frames cut to a thousandth of the time asked, for runs
// of the built program over long files.
#include "kiss/clock_posix.h"
#include "kiss/serial.h"

namespace kiss {

void sleep_ms(std::int32_t milliseconds) {
    posix_clock::sleep_until(posix_clock::now_ns() + milliseconds * 1'000LL);
}

}  // namespace kiss
