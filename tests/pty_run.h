#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
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

// A KISS TNC on TCP for the tests, listening on a free port of 127.0.0.1;
// its connection (link.master, once accepted) stands in for the master side
// of a pseudo-terminal. A small segment size and window keep the sender's
// buffer small, so that a TNC that stops reading stalls the sender soon.
struct TcpTnc {
    int listener = -1;
    std::string address;  // 127.0.0.1:PORT
    VirtualPort link;
};
TcpTnc listen_tcp();
// Takes the program's connection (waiting up to 5 s) and stops listening.
void accept_tcp(TcpTnc& tnc);

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

// As console_file: the program starts with standard input and output
// closed; its standard error goes through a pipe.
const std::string closed_console = "(closed)";

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

// Plays a TNC that passes on all it hears: sends KISS frames over link every
// 5 ms while run() runs; returns the longest it had to wait to hand one over.
double talk_back(VirtualPort& link, const std::function<void()>& run);

// start + finish.
Program run(const std::string& program, const std::vector<std::string>& args, VirtualPort* port,
            const std::string& console_file = "");

}  // namespace pty_run
