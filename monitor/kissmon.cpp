// kissmon [-x] [-n count] [-l link]
// kissmon [-x] [-n count] [-s speed] device
//
// Shows what a KISS TNC receives: reads the KISS stream from a new
// pseudo-terminal (for trying a program without a radio) or from a serial
// device, and prints each frame as it arrives, decoded into TNC2 monitor
// text, or what is wrong with it.
#include "monitor/display.h"
#include "ports/line_settings.h"
#include "ports/speeds.h"
#include "services/descriptors.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int EXIT_DEVICE = 1;
constexpr int EXIT_USAGE = 2;
constexpr long DEFAULT_SPEED = 9600;

const char* const usage_text =
    "usage: kissmon [-x] [-n count] [-l link]\n"
    "       kissmon [-x] [-n count] [-s speed] device\n";

struct Options {
    bool hex = false;
    long count = 0;  // frames to show before ending; 0 for no end
    const char* link = nullptr;
    long speed = DEFAULT_SPEED;
    const char* device = nullptr;
};

monitor::Line heard;
char shown[monitor::SHOWN_CAPACITY];
char slave_path[128];

int usage() {
    (void)std::fputs(usage_text, stderr);
    return EXIT_USAGE;
}

bool parse(int argc, char** argv, Options& options) {
    bool speed_given = false;
    for (int c; (c = getopt(argc, argv, "xn:l:s:")) != -1;) {
        char* end = nullptr;
        switch (c) {
        case 'x':
            options.hex = true;
            break;
        case 'n':
            errno = 0;
            options.count = std::strtol(optarg, &end, 10);
            if (*end != '\0' || options.count < 1 || errno == ERANGE) {
                return false;
            }
            break;
        case 'l':
            options.link = optarg;
            break;
        case 's':
            if (ports::check_baud_rate(optarg) == 0) {
                return false;
            }
            options.speed = std::strtol(optarg, nullptr, 10);
            speed_given = true;
            break;
        default:
            return false;
        }
    }
    if (optind + 1 == argc) {
        options.device = argv[optind];
    } else if (optind != argc) {
        return false;
    }
    // A speed is for a device, a link for a pseudo-terminal.
    return options.device != nullptr ? options.link == nullptr : !speed_given;
}

void print_stamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char clock[16];
    (void)std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    (void)std::printf("%s.%03ld ", clock, now.tv_nsec / 1'000'000);
}

// What is shown, after the time it came; flushed at once, so that it shows
// beside the sender's console as it arrives.
void print_shown(std::size_t length) {
    if (length > 0) {
        print_stamp();
        (void)std::fwrite(shown, 1, length, stdout);
        (void)std::fflush(stdout);
    }
}

// Takes what the line delivered, showing at most limit frames (no limit
// when 0), each as a line of its own; returns the number shown.
long take(const std::uint8_t* octets, std::size_t count, bool hex, long limit) {
    long frames = 0;
    for (std::size_t i = 0; i < count && (limit == 0 || frames < limit); ++i) {
        const std::size_t length = monitor::take(heard, octets[i], hex, shown, sizeof shown);
        print_shown(length);
        frames += length > 0 && !heard.shown_text ? 1 : 0;
    }
    return frames;
}

// Makes link name the pseudo-terminal; an existing file that is not a link
// is left alone.
bool make_link(const char* link) {
    struct stat existing {};
    if (lstat(link, &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            errno = EEXIST;
            return false;
        }
        (void)unlink(link);
    }
    return symlink(slave_path, link) == 0;
}

// Removes the link, unless something else has taken its place meanwhile.
void remove_link(const char* link) {
    char target[sizeof slave_path] = {};
    if (readlink(link, target, sizeof target - 1) > 0 && std::strcmp(target, slave_path) == 0) {
        (void)unlink(link);
    }
}

// Says what failed and why; -1, for the callers that return a descriptor.
int fail(const char* what, const char* name, const char* why = std::strerror(errno)) {
    (void)std::fprintf(stderr, "kissmon: %s %s: %s\n", what, name, why);
    return -1;
}

// The serial device, raw 8N1 at the speed asked; -1 after saying why not.
int open_device(const Options& options) {
    const int line = open(options.device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0) {
        return fail("cannot open", options.device);
    }
    const int error = ports::apply_line_settings(line, static_cast<std::int32_t>(options.speed));
    if (error != 0) {
        return fail("cannot set up", options.device, ports::line_settings_failure(error));
    }
    (void)std::printf("kissmon: listening on %s at %ld Bd\n", options.device, options.speed);
    return line;
}

// A new pseudo-terminal's master side, its slave held open (so that the
// line stays up between writers) and raw, and linked when asked; -1 after
// saying why not.
int open_pseudo_terminal(const Options& options) {
    const int line = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0 || grantpt(line) != 0 || unlockpt(line) != 0 ||
        ptsname_r(line, slave_path, sizeof slave_path) != 0) {
        return fail("cannot open", "a pseudo-terminal");
    }
    const int slave = open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        return fail("cannot open", slave_path);
    }
    const int error = ports::apply_line_settings(slave, DEFAULT_SPEED);
    if (error != 0) {
        return fail("cannot set up", slave_path, ports::line_settings_failure(error));
    }
    if (options.link == nullptr) {
        (void)std::printf("kissmon: listening on %s\n", slave_path);
    } else if (make_link(options.link)) {
        (void)std::printf("kissmon: listening on %s -> %s\n", options.link, slave_path);
    } else {
        return fail("cannot make the link", options.link);
    }
    return line;
}

// Shows frames from the line until the count is reached or a signal to
// stop arrives (as a read, so that the caller can still tidy up).
int listen(int port, const Options& options) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    const char* name = options.device != nullptr ? options.device : slave_path;
    // Without them Ctrl-C would end us before the link is removed, or not
    // at all once the signals are blocked.
    if (sigprocmask(SIG_BLOCK, &stops, nullptr) != 0) {
        fail("cannot block the signals for", name);
        return EXIT_DEVICE;
    }
    const int stop = signalfd(-1, &stops, SFD_CLOEXEC);
    if (stop < 0) {
        fail("cannot watch the signals for", name);
        return EXIT_DEVICE;
    }

    monitor::reset_line(heard);
    long frames = 0;
    while (options.count == 0 || frames < options.count) {
        pollfd fds[2] = {{port, POLLIN, 0}, {stop, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            fail("cannot wait on", name);
            return EXIT_DEVICE;
        }
        if (fds[1].revents != 0) {
            print_shown(monitor::finish(heard, shown, sizeof shown));
            break;
        }
        std::uint8_t buffer[4096];
        const ssize_t n = read(port, buffer, sizeof buffer);
        if (n > 0) {
            frames += take(buffer, static_cast<std::size_t>(n), options.hex,
                           options.count == 0 ? 0 : options.count - frames);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            fail("cannot read", name);
            return EXIT_DEVICE;
        }
    }
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    // Or the pseudo-terminal could take standard output, and the sender
    // would read every line shown.
    services::open_standard_descriptors();
    Options options;
    if (!parse(argc, argv, options)) {
        return usage();
    }
    const int line =
        options.device != nullptr ? open_device(options) : open_pseudo_terminal(options);
    if (line < 0) {
        return EXIT_DEVICE;
    }
    (void)std::fflush(stdout);
    const int status = listen(line, options);
    if (options.link != nullptr) {
        remove_link(options.link);
    }
    return status;
}
