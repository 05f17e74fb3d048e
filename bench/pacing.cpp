// The built program against a pseudo-terminal, run as a user runs it: how
// closely frames keep to the pause, how soon the first octet goes out, and
// the processor time and memory a run takes. A pseudo-terminal has no line
// rate, so what shows is the program's own overhead, not the line's.
#include "bench/pty_run.h"
#include "bench/temp_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* const test_program = UIPACER_TEST_PROGRAM;
const char* const quick_pause_program = UIPACER_QUICK_PAUSE_PROGRAM;
const char* const device_dir = UIPACER_TEST_DEVICE_DIR;
const char* const line =
    "N0CALL-9>APRS,WIDE1-1,WIDE2-1:!4903.50N/07201.75W-PHG2360 Fixed station\n";

constexpr int PACED_FRAMES = 10;
constexpr int LONG_FILE_LINES = 10'000;
constexpr int PAUSE_S = 1;
constexpr double RUN_LIMIT_S = 120;
constexpr double MS = 1000;

// Built and freed before the program starts: a child's peak memory counts
// what its parent held when it forked.
std::string input_file(int lines) {
    std::string content;
    for (int i = 0; i < lines; ++i) {
        content += line;
    }
    return write_temp_file("lines.txt", content);
}

// Runs program over a file of `lines` copies of the line, with Com1 on the
// terminal; a run that fails or sends other than whole frames ends the
// measurement, as its numbers would mean nothing.
pty_run::Program run(const char* program, int lines) {
    pty_run::VirtualPort port = pty_run::open_virtual_port();
    const std::string com1 = std::string(device_dir) + "/ttyS0";
    mkdir(device_dir, 0755);
    unlink(com1.c_str());
    if (symlink(port.slave_path.c_str(), com1.c_str()) != 0) {
        std::perror(com1.c_str());
        std::exit(1);
    }
    pty_run::Program p =
        pty_run::start(program, {input_file(lines), "1", "9600", std::to_string(PAUSE_S)});
    pty_run::finish(p, &port, RUN_LIMIT_S);
    pty_run::close_virtual_port(port);
    if (p.status != 0 || p.octets.empty() ||
        p.octets.size() % static_cast<std::size_t>(lines) != 0) {
        (void)std::fprintf(stderr, "%s over %d lines: status %d, %zu octets\n%s", program, lines,
                           p.status, p.octets.size(), p.console.c_str());
        std::exit(1);
    }
    return p;
}

}  // namespace

int main() {
    const pty_run::Program paced = run(test_program, PACED_FRAMES);
    const std::size_t frame_octets = paced.octets.size() / PACED_FRAMES;
    std::vector<double> over;  // each frame start's lateness against the pause
    for (std::size_t i = frame_octets; i < paced.octets.size(); i += frame_octets) {
        over.push_back(paced.arrival[i] - paced.arrival[i - frame_octets] - PAUSE_S);
    }
    std::sort(over.begin(), over.end());
    std::printf(
        "frame start interval minus pause, %d frames at %d s: median %.3f ms, max %.3f ms\n",
        PACED_FRAMES, PAUSE_S, over[over.size() / 2] * MS, over.back() * MS);
    std::printf("process start to first octet: %.3f ms\n", paced.arrival[0] * MS);
    std::printf("CPU time per frame, %d frames, start-up included: %.3f ms\n", PACED_FRAMES,
                paced.cpu_s / PACED_FRAMES * MS);

    const pty_run::Program one = run(quick_pause_program, 1);
    const pty_run::Program many = run(quick_pause_program, LONG_FILE_LINES);
    std::printf("CPU time per frame, %d lines, quick pause: %.3f ms\n", LONG_FILE_LINES,
                many.cpu_s / LONG_FILE_LINES * MS);
    std::printf("peak memory: 1 line %ld kB, %d lines %ld kB\n", one.peak_kb, LONG_FILE_LINES,
                many.peak_kb);
    return 0;
}
