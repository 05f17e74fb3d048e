#include "ports/line_settings.h"
#include "ports/port.h"
#include "services/wait.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

// ComN names the N-1st device of this family (the tests point it at links
// of their own); any other device is given by its path.
#ifndef UIPACER_DEVICE_FAMILY
#define UIPACER_DEVICE_FAMILY "/dev/ttyS"
#endif

namespace ports {

namespace {

// While the queue is full we look again this often. A driver only reports
// the device writable once its queue has drained below 256 octets, which at
// 9600 Bd takes seconds, so we poll the queue itself instead.
constexpr long long RETRY_SLICE_US = 1000;
// The driver's output queue is held to 128 octets, so an octet is never
// accepted long before the line can send it.
constexpr int OUTPUT_QUEUE_LIMIT = 128;
int port_handle = -1;
std::int32_t line_speed;
bool port_claimed;  // we set its exclusive mode, so we clear it
bool write_failed;  // what the driver still holds is to be discarded, not waited for
bool hung_up;       // reads fail: the device is gone, or the other end closed
char device_path[sizeof Port::device];
bool named_by_path;  // the user gave the device's path, not ComN

// The reason names the device when the message does not: for ComN.
void record_failure(const char* why) {
    if (named_by_path) {
        keep_failure(why);
    } else {
        keep_failure(device_path, why);
    }
}

// To an absolute deadline, so that a signal arriving meanwhile does not
// stretch or shorten the sleep; a request to stop never cuts a frame.
void sleep_briefly() {
    const long long until = services::now_us() + RETRY_SLICE_US;
    const timespec deadline{static_cast<time_t>(until / 1'000'000),
                            static_cast<long>(until % 1'000'000 * 1000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

extern "C" void end_closing_wait(int /*signal*/) {}

// close() waits for the driver to send what it holds, up to the port's
// closing wait (30 s by default), which only root may shorten. tcflush
// empties a UART's queue, but not the transfers cdc-acm has in flight to a
// device that takes nothing more. A signal ends that wait: a timer's,
// repeated in case one comes before close() sleeps. Nothing else here uses
// SIGALRM, and the process is ending, so the handler stays.
void close_without_waiting() {
    struct sigaction wake {};
    wake.sa_handler = end_closing_wait;
    sigemptyset(&wake.sa_mask);
    constexpr itimerval every_10_ms{{0, 10'000}, {0, 10'000}};
    const bool timed = sigaction(SIGALRM, &wake, nullptr) == 0 &&
                       setitimer(ITIMER_REAL, &every_10_ms, nullptr) == 0;
    close(port_handle);
    if (timed) {
        constexpr itimerval off{};
        (void)setitimer(ITIMER_REAL, &off, nullptr);
    }
}

// Gives the device back: the exclusive claims first, so that nobody waits
// on us while close() finishes. Their results are of no use: this is the
// last we do with the device, and a failure to let go of it ends with the
// process anyway.
// The exclusive mode belongs to the terminal, not to our descriptor: it is
// cleared only when we set it, never when another program holds it.
// A line that took all it was given is closed as usual: close() then waits
// only for what the UART's FIFO still holds, which an interrupted close
// would clear before it leaves.
void release_port(bool line_drained) {
    if (port_claimed) {
        ioctl(port_handle, TIOCNXCL);
        port_claimed = false;
    }
    flock(port_handle, LOCK_UN);
    if (line_drained) {
        close(port_handle);
    } else {
        close_without_waiting();
    }
    port_handle = -1;
}

open_result fail_open(const char* why, open_result result) {
    record_failure(why);
    release_port(true);  // nothing was written
    return result;
}

// A device that is gone is lost; it may come back.
send_result fail_write(int error, const char* why) {
    record_failure(why);
    write_failed = true;
    (void)tcflush(port_handle, TCOFLUSH);
    return error == EIO || error == ENODEV || error == ENXIO ? port_lost : send_failed;
}

void drain_input() {
    std::uint8_t discarded[256];
    ssize_t n = 0;
    while (port_handle >= 0 && (n = read(port_handle, discarded, sizeof discarded)) > 0) {
    }
    // A device unplugged, or a pseudo-terminal's other end closed: its input
    // would be ready for ever, so the waits no longer watch it.
    hung_up = hung_up || n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
}

open_result open_device(const Port& port) {
    (void)std::snprintf(device_path, sizeof device_path, "%s", port.device);
    named_by_path = std::strcmp(port.device, port.name) == 0;
    line_speed = port.speed;

    // Non-blocking, so that a modem line without carrier cannot hold us at
    // open(), and so that a full queue shows as EAGAIN instead of a hang.
    port_handle = open(device_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port_handle < 0) {
        // A device that is not there, or not yet: a USB one is made before
        // udev gives it its group, which makes EACCES for a moment.
        const int error = errno;
        record_failure(std::strerror(error));
        return error == ENOENT || error == ENODEV || error == ENXIO || error == EIO ||
                       error == EACCES
                   ? port_missing
                   : port_unavailable;
    }
    // Root gets past another program's exclusive mode at open(), so it is
    // asked for: whoever runs us, a port that is held is refused. A device
    // that cannot say is left to TIOCEXCL below.
    int held = 0;
    if (ioctl(port_handle, TIOCGEXCL, &held) == 0 && held != 0) {
        return fail_open(std::strerror(EBUSY), port_unavailable);
    }
    if (flock(port_handle, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        return fail_open(std::strerror(error == EWOULDBLOCK ? EBUSY : error), port_unavailable);
    }
    if (ioctl(port_handle, TIOCEXCL) != 0) {
        return fail_open(std::strerror(errno), port_unavailable);
    }
    port_claimed = true;
    write_failed = false;
    hung_up = false;

    const int settings_error = apply_line_settings(port_handle, line_speed);
    if (settings_error != 0) {
        return fail_open(line_settings_failure(settings_error), port_settings_refused);
    }
    return port_ready;
}

send_result write_octet(std::uint8_t octet) {
    const long long budget = octet_budget_us(line_speed, UART_FIFO_AHEAD);
    const long long deadline = services::now_us() + budget;
    for (;;) {
        int queued = 0;
        if (ioctl(port_handle, TIOCOUTQ, &queued) != 0) {
            return fail_write(errno, std::strerror(errno));
        }
        if (queued < OUTPUT_QUEUE_LIMIT) {
            const ssize_t written = write(port_handle, &octet, 1);
            if (written == 1) {
                return frame_sent;
            }
            if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return fail_write(errno, std::strerror(errno));  // EIO after a hang-up
            }
        }
        if (services::now_us() >= deadline) {
            return fail_write(0, stalled_line(budget));
        }
        drain_input();  // the TNC may be waiting for room too
        sleep_briefly();
    }
}

send_result send_frame(const std::uint8_t* frame, std::size_t length) {
    return send_octets(frame, length, write_octet);
}

bool wait_for_input(long long deadline_us) {
    return services::wait_until(deadline_us, hung_up ? services::NO_INPUT : port_handle);
}

void close_device() {
    if (port_handle < 0) {
        return;
    }
    // What is still queued goes out before we let go, as close() would see
    // to, but a line that has stalled must not hold us for the driver's
    // closing wait: it gets twice the time the queue needs at its speed, ten
    // bits an octet, and what is left then is discarded. A USB driver counts
    // whole transfer buffers (cdc-acm: kilobytes for one octet), but we never
    // queue more than the limit. After a failed write nothing is waited for.
    int queued = 0;
    bool drained = !write_failed;
    if (drained && ioctl(port_handle, TIOCOUTQ, &queued) == 0 && queued > 0) {
        const long long octets = std::min(queued, OUTPUT_QUEUE_LIMIT + 1);
        const long long deadline = services::now_us() +
                                   octet_budget_us(line_speed, UART_FIFO_AHEAD) +
                                   octets * 20'000'000LL / (line_speed > 0 ? line_speed : 1);
        while (ioctl(port_handle, TIOCOUTQ, &queued) == 0 && queued > 0 &&
               services::now_us() < deadline) {
            sleep_briefly();
        }
        drained = queued == 0;
        (void)tcflush(port_handle, TCOFLUSH);
    }
    release_port(drained);
}

}  // namespace

bool device_named(const char* text, char* device, std::size_t capacity) {
    if (text[0] != '/') {
        return false;
    }
    (void)std::snprintf(device, capacity, "%s", text);
    return true;
}

void com_device(int number, char* device, std::size_t capacity) {
    (void)std::snprintf(device, capacity, "%s%d", UIPACER_DEVICE_FAMILY, number - 1);
}

const PortOperations serial_port = {open_device, send_frame, wait_for_input, drain_input,
                                    close_device};

}  // namespace ports
