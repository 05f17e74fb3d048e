#include "kiss/clock_posix.h"
#include "kiss/serial.h"

namespace kiss {

void sleep_ms(std::int32_t milliseconds) {
    posix_clock::sleep_until(posix_clock::now_ns() + milliseconds * 1'000'000LL);
}

}  // namespace kiss
