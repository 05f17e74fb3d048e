#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Runs a built program the way a user does, with a pseudo-terminal standing
// in for the serial device, and collects its console and the octets that
// arrive on the terminal's master side.
namespace pty_run {

struct VirtualPort {
    int master = -1;
    int slave = -1;  // held open by the test, so settings survive the program's close
    std::string slave_path;
};

VirtualPort open_virtual_port();
void close_virtual_port(VirtualPort& port);

struct Program {
    pid_t pid = -1;
    int console_fd = -1;
    std::string console_file;  // where the console goes instead of a pipe
    double started = 0;
    std::string console;
    std::vector<std::uint8_t> octets;
    std::vector<double> arrival;  // seconds after start, one per octet
    int status = -1;              // exit status, or 128 + signal
    long peak_kb = 0;             // the most memory it held at once
    double cpu_s = 0;             // user and system time it used
};

double now_s();

// Starts program with args; its standard output and error go to console,
// through a pipe or, when console_file is given, through that file. A file
// suits a program that leaves helpers behind holding its output open.
Program start(const std::string& program, const std::vector<std::string>& args,
              const std::string& console_file = "");

// Collects console and octets (when port is given) until the program has
// written `octets` octets or `seconds` have passed.
void collect(Program& p, VirtualPort* port, std::size_t octets, double seconds);

// Collects until the program has exited; kills it after `seconds`.
void finish(Program& p, VirtualPort* port, double seconds = 20);

// start + finish.
Program run(const std::string& program, const std::vector<std::string>& args, VirtualPort* port,
            const std::string& console_file = "");

}  // namespace pty_run
