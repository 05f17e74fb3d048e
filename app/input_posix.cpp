#include "app/input.h"
#include "services/wait.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace app {

namespace {

int source = -1;
bool waits;  // not a plain file: a read may wait (a pipe, a FIFO, a terminal)
const char* source_name;
// When followed, news of the file's folder: a file written, truncated,
// created or renamed there, the file among them.
int news = -1;
// The file's first octets as read: a file written over in place (truncated
// and written again, perhaps longer than before, before we looked) begins
// otherwise, and is read again from its start.
std::uint8_t head[256];
std::size_t head_length;

bool rewritten() {
    std::uint8_t now[sizeof head];
    return pread(source, now, head_length, 0) != static_cast<ssize_t>(head_length) ||
           std::memcmp(now, head, head_length) != 0;
}

// Whether the name now names another file than the one open (a new file
// renamed over it); false while the name names none.
bool replaced() {
    struct stat named {};
    struct stat opened {};
    return stat(source_name, &named) == 0 && fstat(source, &opened) == 0 &&
           (named.st_ino != opened.st_ino || named.st_dev != opened.st_dev);
}

}  // namespace

const char* input_failure() { return nullptr; }

// Without waiting at open(), so that a FIFO that no one writes yet is
// waited on (in read_input) where a stop ends the wait.
input_opened open_source(const char* name) {
    const bool standard = name[0] == '-' && name[1] == '\0';
    source_name = name;
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
    head_length = 0;
    return input_open;
}

long read_input(std::uint8_t* into, std::size_t capacity) {
    for (;;) {
        if (waits && !services::wait_until(services::NO_DEADLINE, source)) {
            return READ_STOPPED;
        }
        const off_t at = waits ? -1 : lseek(source, 0, SEEK_CUR);
        const ssize_t n = read(source, into, capacity);
        if (n > 0 && at >= 0 && static_cast<std::size_t>(at) == head_length &&
            head_length < sizeof head) {
            const std::size_t kept =
                std::min(sizeof head - head_length, static_cast<std::size_t>(n));
            std::memcpy(head + head_length, into, kept);
            head_length += kept;
        }
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

// A folder is watched, not the file, so that a file renamed over its name
// is heard of too; every news of the folder is looked at, and the wait
// goes on until it concerns the file. Between news the run sleeps.
long wait_for_more() {
    if (news < 0) {
        char folder[4096];
        (void)std::snprintf(folder, sizeof folder, "%s", source_name);
        news = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (news < 0 || inotify_add_watch(
                            news, dirname(folder),
                            IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
            return READ_FAILED;
        }
    }
    for (;;) {
        struct stat opened {};
        const off_t at = lseek(source, 0, SEEK_CUR);
        if (fstat(source, &opened) != 0 || at < 0) {
            return READ_FAILED;
        }
        if (replaced()) {
            const int renewed = open(source_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (renewed >= 0) {
                (void)close(source);
                source = renewed;
                head_length = 0;
                return SOURCE_RESTARTED;
            }
        }
        if (opened.st_size < at || rewritten()) {
            head_length = 0;
            return lseek(source, 0, SEEK_SET) == 0 ? SOURCE_RESTARTED : READ_FAILED;
        }
        if (opened.st_size > at) {
            return SOURCE_GREW;
        }
        if (!services::wait_until(services::NO_DEADLINE, news)) {
            return READ_STOPPED;
        }
        alignas(inotify_event) char heard[4096];
        while (read(news, heard, sizeof heard) > 0) {
        }
    }
}

void close_source() {
    if (source > STDIN_FILENO) {
        (void)close(source);  // read only: nothing can be lost
    }
    source = -1;
    if (news >= 0) {
        (void)close(news);
        news = -1;
    }
}

}  // namespace app
