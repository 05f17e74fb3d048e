#include "bench/pty_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace pty_run {

double now_s() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

VirtualPort open_virtual_port() {
    VirtualPort port;
    port.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.master < 0 || grantpt(port.master) != 0 || unlockpt(port.master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    port.slave_path = ptsname(port.master);
    port.slave = open(port.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port.slave < 0) {
        throw std::runtime_error("cannot open " + port.slave_path);
    }
    fcntl(port.master, F_SETFL, fcntl(port.master, F_GETFL) | O_NONBLOCK);
    return port;
}

void close_virtual_port(VirtualPort& port) {
    if (port.master >= 0) {
        close(port.master);
    }
    if (port.slave >= 0) {
        close(port.slave);
    }
    port = VirtualPort{};
}

Program start(const std::string& program, const std::vector<std::string>& args,
              const std::string& console_file) {
    int out[2];
    if (console_file.empty()
            ? pipe2(out, O_CLOEXEC) != 0
            : (out[0] = -1, out[1] = open(console_file.c_str(),
                                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) < 0) {
        throw std::runtime_error("no console for " + program);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);

    Program p;
    p.started = now_s();
    p.pid = fork();
    if (p.pid < 0) {
        throw std::runtime_error("cannot fork for " + program);
    }
    if (p.pid == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    p.console_fd = out[0];
    p.console_file = console_file;
    return p;
}

namespace {

// One round of waiting: reads whatever is there; false once the console
// has reached end of file.
bool pump(Program& p, VirtualPort* port, int timeout_ms) {
    pollfd fds[2] = {{p.console_fd, POLLIN, 0}, {port != nullptr ? port->master : -1, POLLIN, 0}};
    poll(fds, 2, timeout_ms);
    if (p.console_fd < 0) {
        fds[0].revents = 0;
    }
    char buffer[4096];
    if (port != nullptr && port->master >= 0) {
        ssize_t n;
        while ((n = read(port->master, buffer, sizeof buffer)) > 0) {
            const double t = now_s() - p.started;
            for (ssize_t i = 0; i < n; ++i) {
                p.octets.push_back(static_cast<std::uint8_t>(buffer[i]));
                p.arrival.push_back(t);
            }
        }
    }
    if (fds[0].revents != 0) {
        const ssize_t n = read(p.console_fd, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        p.console.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

void collect(Program& p, VirtualPort* port, std::size_t octets, double seconds) {
    const double deadline = now_s() + seconds;
    while (p.octets.size() < octets && now_s() < deadline && pump(p, port, 5)) {
    }
}

void finish(Program& p, VirtualPort* port, double seconds) {
    const double deadline = now_s() + seconds;
    int status = 0;
    rusage usage{};
    // Through a pipe the console's end of file tells that the program is
    // done; a console file never ends, so there the process is asked.
    while (p.console_fd >= 0 ? pump(p, port, 5)
                             : (pump(p, port, 5), wait4(p.pid, &status, WNOHANG, &usage) == 0)) {
        if (now_s() > deadline && kill(p.pid, SIGKILL) != 0) {
            throw std::runtime_error("cannot end the program under test");
        }
    }
    if (p.console_fd >= 0) {
        if (wait4(p.pid, &status, 0, &usage) != p.pid) {
            throw std::runtime_error("lost the program under test");
        }
        close(p.console_fd);
        p.console_fd = -1;
    } else if (!p.console_file.empty()) {
        std::ifstream file(p.console_file, std::ios::binary);
        p.console.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    p.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    p.peak_kb = usage.ru_maxrss;
    p.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    pump(p, port, 0);  // octets still on the way
}

Program run(const std::string& program, const std::vector<std::string>& args, VirtualPort* port,
            const std::string& console_file) {
    Program p = start(program, args, console_file);
    finish(p, port);
    return p;
}

}  // namespace pty_run
