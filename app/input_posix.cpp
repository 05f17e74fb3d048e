#include "app/input.h"
#include "services/wait.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace app {

namespace {

int source = -1;
bool waits;  // not a plain file: a read may wait (a pipe, a FIFO, a terminal)

}  // namespace

const char* input_failure() { return nullptr; }

// Without waiting at open(), so that a FIFO that no one writes yet is
// waited on (in read_input) where a stop ends the wait.
input_opened open_source(const char* name) {
    const bool standard = name[0] == '-' && name[1] == '\0';
    source = standard ? STDIN_FILENO : open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (source < 0 || fstat(source, &status) != 0) {
        return input_missing;
    }
    if (S_ISDIR(status.st_mode)) {
        close_source();
        return input_unreadable;
    }
    waits = !S_ISREG(status.st_mode);
    return input_open;
}

long read_input(std::uint8_t* into, std::size_t capacity) {
    for (;;) {
        if (waits && !services::wait_until(services::NO_DEADLINE, source)) {
            return READ_STOPPED;
        }
        const ssize_t n = read(source, into, capacity);
        if (n >= 0) {
            return n;
        }
        if (errno != EAGAIN && errno != EINTR) {
            return READ_FAILED;
        }
        if (services::stop_requested()) {
            return READ_STOPPED;
        }
    }
}

long wait_for_more() { return READ_FAILED; }

void close_source() {
    if (source > STDIN_FILENO) {
        (void)close(source);  // read only: nothing can be lost
    }
    source = -1;
}

}  // namespace app
