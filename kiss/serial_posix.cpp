#include "kiss/clock_posix.h"
#include "kiss/line_settings.h"
#include "kiss/serial.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ComN names the N-1st device of this family; a builder with a USB adapter
// sets it to /dev/ttyUSB or /dev/ttyACM.
#ifndef UIPACER_DEVICE_FAMILY
#define UIPACER_DEVICE_FAMILY "/dev/ttyS"
#endif

namespace kiss {

namespace {

// A single octet may take at most 60 ms to be accepted: 10 ms for the octet
// plus 50 ms constant, as a write time-out on the serial line.
constexpr long long WRITE_BUDGET_NS = 60'000'000;
// While the queue is full we look again this often. A driver only reports
// the device writable once its queue has drained below 256 octets, which at
// 9600 Bd takes seconds, so we poll the queue itself instead.
constexpr long long RETRY_SLICE_NS = 1'000'000;
// The driver's output queue is held to 128 octets, so an octet is never
// accepted long before the line can send it.
constexpr int OUTPUT_QUEUE_LIMIT = 128;

int port_handle = -1;
char device_path[sizeof UIPACER_DEVICE_FAMILY + 20];  // and the number of any long
char reason[256];

// A reason too long for its buffer is cut short, which is all we could do.
void record_failure(const char* why) {
    (void)std::snprintf(reason, sizeof reason, "%s: %s", device_path, why);
}

// Gives the device back: the exclusive claims first, so that nobody waits
// on us while close() finishes. Their results are of no use: this is the
// last we do with the device, and a failure to let go of it ends with the
// process anyway.
void release_port() {
    ioctl(port_handle, TIOCNXCL);
    flock(port_handle, LOCK_UN);
    close(port_handle);
    port_handle = -1;
}

open_result fail_open(const char* why, open_result result) {
    record_failure(why);
    release_port();
    return result;
}

bool fail_write(const char* why) {
    record_failure(why);
    // Whatever is still queued would otherwise hold up close() for as long
    // as the driver's closing wait, up to 30 s on a stalled line.
    (void)tcflush(port_handle, TCOFLUSH);
    return false;
}

}  // namespace

open_result open_port() {
    const long number = std::strtol(port_name + 3, nullptr, 10);  // past "Com"
    (void)std::snprintf(device_path, sizeof device_path, "%s%ld", UIPACER_DEVICE_FAMILY,
                        number - 1);

    // Non-blocking, so that a modem line without carrier cannot hold us at
    // open(), and so that a full queue shows as EAGAIN instead of a hang.
    port_handle = open(device_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port_handle < 0) {
        record_failure(std::strerror(errno));
        return port_unavailable;
    }
    if (flock(port_handle, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        return fail_open(std::strerror(error == EWOULDBLOCK ? EBUSY : error), port_unavailable);
    }
    if (ioctl(port_handle, TIOCEXCL) != 0) {
        return fail_open(std::strerror(errno), port_unavailable);
    }

    const int settings_error = apply_line_settings(port_handle, baud_rate);
    if (settings_error != 0) {
        return fail_open(line_settings_failure(settings_error), port_settings_refused);
    }
    return port_ready;
}

bool write_octet(std::uint8_t octet) {
    const long long deadline = posix_clock::now_ns() + WRITE_BUDGET_NS;
    for (;;) {
        int queued = 0;
        if (ioctl(port_handle, TIOCOUTQ, &queued) != 0) {
            return fail_write(std::strerror(errno));
        }
        if (queued < OUTPUT_QUEUE_LIMIT) {
            const ssize_t written = write(port_handle, &octet, 1);
            if (written == 1) {
                return true;
            }
            if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return fail_write(std::strerror(errno));  // EIO after a hang-up
            }
        }
        if (posix_clock::now_ns() >= deadline) {
            return fail_write("no octet taken within 60 ms");
        }
        posix_clock::sleep_until(posix_clock::now_ns() + RETRY_SLICE_NS);
    }
}

void close_port() {
    if (port_handle >= 0) {
        release_port();
    }
}

const char* failure_reason() { return reason; }

}  // namespace kiss
