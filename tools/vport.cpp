// vport LINK PROGRAM [ARGS...]
//
// A virtual serial port for trying uipacer without a radio: opens a
// pseudo-terminal, points LINK at it, runs PROGRAM (whose console passes
// straight through) and prints every KISS frame that arrives, as hex, the
// moment its closing FEND is in. Ends with PROGRAM's exit status.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned char FEND = 0xC0;
unsigned char frame[16384];
std::size_t frame_size;

void show_frame() {
    (void)std::printf("  >> received %zu octets:", frame_size + 2);
    (void)std::printf(" C0");
    for (std::size_t i = 0; i < frame_size; ++i) {
        (void)std::printf(" %02X", frame[i]);
    }
    (void)std::printf(" C0\n\n");
    (void)std::fflush(stdout);
}

void take(unsigned char octet) {
    if (octet == FEND) {
        if (frame_size > 0) {
            show_frame();
        }
        frame_size = 0;
    } else if (frame_size < sizeof frame) {
        frame[frame_size++] = octet;
    }
}

void drain(int master) {
    unsigned char buffer[4096];
    ssize_t n;
    while ((n = read(master, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            take(buffer[i]);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        (void)std::fprintf(stderr, "usage: vport LINK PROGRAM [ARGS...]\n");
        return 2;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("vport: pseudo-terminal");
        return 2;
    }
    const char* slave_path = ptsname(master);
    // Held open so that the terminal outlives the program's close.
    const int slave = open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    unlink(argv[1]);
    if (slave < 0 || symlink(slave_path, argv[1]) != 0) {
        (void)std::fprintf(stderr, "vport: %s -> %s: %s\n", argv[1], slave_path,
                           std::strerror(errno));
        return 2;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    (void)std::printf("vport: %s -> %s\n", argv[1], slave_path);
    (void)std::fflush(stdout);

    const pid_t child = fork();
    if (child == 0) {
        execv(argv[2], argv + 2);
        (void)std::fprintf(stderr, "vport: %s: %s\n", argv[2], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        pollfd fd = {master, POLLIN, 0};
        poll(&fd, 1, 20);
        drain(master);
    }
    drain(master);
    unlink(argv[1]);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
