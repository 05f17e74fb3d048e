// The Windows build of the program, run under Wine against pseudo-terminals:
// the same octets, console and exit statuses as the Linux build, the line
// settings its serial calls leave on the terminal, and the calls themselves.
#include "tests/hex.h"
#include "tests/program_expectations.h"
#include "tests/pty_run.h"
#include "tests/temp_files.h"
#include "tests/terminal.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using expectations::announcement;
using expectations::banner;
using pty_run::Program;
using pty_run::VirtualPort;

const std::string windows_program = UIPACER_WINDOWS_PROGRAM;
const std::string wine = WINE_PROGRAM;
const std::string wineserver = WINESERVER_PROGRAM;
const std::string wine_dir = UIPACER_WINE_DIR;  // the prefix and the port links
const std::string prefix = wine_dir + "/prefix";

// The calls of the serial layer, traced by Wine when asked.
const char* const traced_calls =
    "KERNEL32.CreateFileA;KERNEL32.SetupComm;KERNEL32.GetCommState;KERNEL32.SetCommState;"
    "KERNEL32.GetCommTimeouts;KERNEL32.SetCommTimeouts;KERNEL32.WriteFile;"
    "KERNEL32.CloseHandle;KERNEL32.PurgeComm";

std::string port_link(int com) { return wine_dir + "/com" + std::to_string(com); }

void wine_command(const std::vector<std::string>& args) {
    const Program p = pty_run::run(wine, args, nullptr, wine_dir + "/setup.log");
    ASSERT_EQ(p.status, 0) << p.console;
}

// A prefix of our own, made once, whose COM1 to COM4 and COM10 are links that the
// tests point at pseudo-terminals. Mapped through the registry, because Wine
// otherwise links COMn to the machine's real /dev/ttySn-1 at every start.
void prepare_wine() {
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    const std::string ready = prefix + "/uipacer-ports";
    if (access(ready.c_str(), F_OK) == 0) {
        return;
    }
    mkdir(wine_dir.c_str(), 0755);
    wine_command({"wineboot", "-i"});
    for (const int com : {1, 2, 3, 4, 10}) {
        unlink(port_link(com).c_str());
        wine_command({"reg", "add", "HKLM\\Software\\Wine\\Ports", "/v",
                      "COM" + std::to_string(com), "/t", "REG_SZ", "/d", port_link(com), "/f"});
    }
    wine_command({"reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
                  "/d", traced_calls, "/f"});
    ASSERT_EQ(pty_run::run(wineserver, {"-w"}, nullptr).status, 0);
    std::ofstream(ready) << "COM1-COM4 and COM10 mapped to " << wine_dir << "/comN\n";
}

// Makes ComN name target (nothing, when target is empty).
void point(int com, const std::string& target) {
    unlink(port_link(com).c_str());
    if (!target.empty()) {
        ASSERT_EQ(symlink(target.c_str(), port_link(com).c_str()), 0);
    }
}

// The Windows console ends its lines with CR LF.
std::string unix_lines(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out += text[i];
        }
    }
    return out;
}

Program run_windows(const std::vector<std::string>& args, VirtualPort* port) {
    std::vector<std::string> command{windows_program};
    command.insert(command.end(), args.begin(), args.end());
    Program p = pty_run::run(wine, command, port, temp_dir() + "console.txt");
    p.console = unix_lines(p.console);
    return p;
}

std::string octets_of(const Program& p) { return hex(p.octets.data(), p.octets.size()); }

class WindowsProgram : public ::testing::Test {
protected:
    // A server and Wine's helper processes of their own, started before the
    // program, so that none of them writes into the program's console.
    static void SetUpTestSuite() {
        prepare_wine();
        const std::string log = wine_dir + "/server.log";
        ASSERT_EQ(pty_run::run(wineserver, {"--persistent"}, nullptr, log).status, 0);
        ASSERT_EQ(pty_run::run(wine, {"cmd", "/c", "exit"}, nullptr, log).status, 0);
    }
    static void TearDownTestSuite() { pty_run::run(wineserver, {"--kill"}, nullptr); }
    void SetUp() override {
        port = pty_run::open_virtual_port();
        point(1, port.slave_path);
    }
    void TearDown() override {
        point(1, "");
        pty_run::close_virtual_port(port);
    }
    VirtualPort port;
};

TEST_F(WindowsProgram, ChecksArgumentsBeforeTouchingAnyDevice) {
    for (const expectations::Arguments& c :
         expectations::argument_cases(write_temp_file("args.txt", "A>B:i\n"))) {
        const Program p = run_windows(c.args, &port);
        EXPECT_EQ(p.status, c.status) << c.console;
        EXPECT_EQ(p.console, banner + c.console);
        EXPECT_TRUE(p.octets.empty());
    }
}

TEST_F(WindowsProgram, SendsTheSameOctetsAndConsoleAsTheLinuxBuild) {
    point(2, port.slave_path);
    const std::string input = write_temp_file("frames.txt", expectations::file_content());
    const Program p = run_windows({input, "2", "9600", "1"}, &port);
    point(2, "");
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.console, expectations::console());
    EXPECT_EQ(octets_of(p), expectations::octets());
}

// Wine cannot put 7200 or 14400 Bd on a Linux terminal, so those two are
// left to a real Windows machine.
TEST_F(WindowsProgram, SetsEverySpeedWineCanOnATerminalRawEightNoneOne) {
    const std::string empty = write_temp_file("empty.txt", "");
    bool hardware_flow_control = false;
    for (const char* text : app::accepted_baud_rates) {
        const std::string speed = text;
        if (speed == "7200" || speed == "14400") {
            continue;
        }
        hardware_flow_control = !hardware_flow_control;
        terminal::make_cooked(port, hardware_flow_control);
        const Program p = run_windows({empty, "1", speed, "1"}, &port);
        ASSERT_EQ(p.status, 0) << p.console;
        EXPECT_EQ(p.console, banner);
        terminal::expect_raw_line(port, static_cast<unsigned>(std::stoul(speed)),
                                  hardware_flow_control);
    }
}

// Wine's relay trace of one run, cut down to the program's calls on the
// serial port: arguments as 32-bit values (Wine shows whole
// 64-bit registers), the port's handle as H, addresses by what they are,
// and a run of equal calls counted.
std::vector<std::string> serial_calls(const std::string& trace) {
    std::istringstream lines(trace);
    std::string thread;  // the program's, which opens the port
    std::string handle;
    std::vector<std::string> calls;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t call = line.find(":Call KERNEL32.");
        const std::size_t open = line.find('(');
        const std::size_t close = line.rfind(") ret=");
        if (thread.empty() && line.find(":Call KERNEL32.CreateFileA(") != std::string::npos &&
            line.find("COM1\"") != std::string::npos) {
            thread = line.substr(0, call + 1);
        }
        if (thread.empty() || line.compare(0, thread.size(), thread) != 0) {
            continue;
        }
        if (handle.empty() &&
            line.find("Ret  KERNEL32.CreateFileA() retval=") != std::string::npos) {
            const std::size_t value = line.find("retval=") + 7;
            handle = line.substr(value, line.find(' ', value) - value);
            handle = handle.substr(handle.size() > 8 ? handle.size() - 8 : 0);
        }
        if (call == std::string::npos || open == std::string::npos || close == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(call + 15, open - call - 15);
        std::vector<std::string> args;
        std::istringstream list(line.substr(open + 1, close - open - 1));
        for (std::string arg; std::getline(list, arg, ',');) {
            const std::size_t quote = arg.find('"');
            args.push_back(quote != std::string::npos
                               ? arg.substr(quote)
                               : arg.substr(arg.size() > 8 ? arg.size() - 8 : 0));
        }
        if (name != "CreateFileA") {
            if (args.empty() || args[0] != handle) {
                continue;  // the console's writes, the input file's closing
            }
            args[0] = "H";
            if (name == "WriteFile") {
                args[1] = "buffer";
                args[3] = "count";
            } else if (name != "SetupComm" && name != "CloseHandle") {
                args[1] = "block";
            }
        }
        std::string shown = name + "(";
        for (std::size_t i = 0; i < args.size(); ++i) {
            shown += (i == 0 ? "" : ",") + args[i];
        }
        shown += ")";
        if (!calls.empty() && calls.back().rfind(shown, 0) == 0) {
            const std::size_t times = calls.back().find(" x");
            const int n =
                times == std::string::npos ? 1 : std::stoi(calls.back().substr(times + 2));
            calls.back() = shown + " x" + std::to_string(n + 1);
        } else {
            calls.push_back(shown);
        }
    }
    return calls;
}

TEST_F(WindowsProgram, MakesExactlyTheSerialCallsOfTheDesign) {
    const std::string input = write_temp_file("two.txt", "A>B:i\nA>B:\xC0\n");
    setenv("WINEDEBUG", "-all,+relay", 1);
    const Program p = run_windows({input, "1", "1200", "1"}, &port);
    setenv("WINEDEBUG", "-all", 1);
    ASSERT_EQ(p.status, 0);
    EXPECT_EQ(octets_of(p),
              "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 69 0A C0 "
              "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 DB DC 0A C0");
    const std::vector<std::string> expected = {
        // Read and write, not shared, no security, open existing, no flags.
        "CreateFileA(\"\\\\\\\\.\\\\COM1\",c0000000,00000000,00000000,00000003,00000000,00000000)",
        "SetupComm(H,00000080,00000080)",
        "GetCommState(H,block)",
        "SetCommState(H,block)",
        "GetCommTimeouts(H,block)",
        "SetCommTimeouts(H,block)",
        // One octet per synchronous write, no overlapped structure.
        "WriteFile(H,buffer,00000001,count,00000000) x43",
        "CloseHandle(H)",
    };
    EXPECT_EQ(serial_calls(p.console), expected);
}

// A port past COM9, which only the \\.\COMn form reaches, in any letter
// case; and a KISS TNC on TCP, through Winsock; each passing on all it hears.
TEST_F(WindowsProgram, ReachesComTenAndATcpTnc) {
    point(10, port.slave_path);
    const std::string input = write_temp_file("frames.txt", expectations::file_content());
    for (const bool tcp : {false, true}) {
        pty_run::TcpTnc tnc = tcp ? pty_run::listen_tcp() : pty_run::TcpTnc{};
        Program p =
            pty_run::start(wine, {windows_program, input, tcp ? tnc.address : "com10", "9600", "1"},
                           temp_dir() + "console.txt");
        if (tcp) {
            pty_run::accept_tcp(tnc);
        }
        VirtualPort& link = tcp ? tnc.link : port;
        pty_run::collect(p, &link, 1, 10);  // the line is raw now: nothing comes back as echo
        const double waited = pty_run::talk_back(link, [&] { pty_run::finish(p, &link); });
        EXPECT_LT(waited, 0.5) << tcp << ": what the TNC sent was not taken";
        close(tnc.link.master);
        EXPECT_EQ(p.status, 0) << tcp;
        EXPECT_EQ(unix_lines(p.console), expectations::console()) << tcp;
        EXPECT_EQ(octets_of(p), expectations::octets()) << tcp;
    }
    point(10, "");
}

// Wine lets a second program open a port that one holds, so that case is
// left to a real Windows machine.
TEST_F(WindowsProgram, RefusesPortsItCannotHave) {
    const std::string input = write_temp_file("one.txt", "A>B:i\n");
    struct Case {
        const char* why;
        std::string target;  // what Com3 names
        std::string console;
    };
    const Case cases[] = {
        {"a folder, not a device", temp_dir(),
         "\nUnable to open serial port Com3 (Access denied).\n"},
        {"nothing: Wine opens a stand-in that is no serial port", "",
         "\nUnable to configure serial port Com3 (Invalid function).\n"},
    };
    for (const Case& c : cases) {
        point(3, c.target);
        const Program p = run_windows({input, "3", "9600", "1"}, nullptr);
        EXPECT_EQ(p.status, 1) << c.why;
        EXPECT_EQ(p.console, banner + c.console) << c.why;
    }
    point(3, "");
}

TEST_F(WindowsProgram, AStalledDeviceEndsTheRunAtOnceWithStatusOne) {
    terminal::stall(port);
    const std::string input = write_temp_file("two.txt", "A>B:i\nA>B:j\n");
    Program p = pty_run::start(wine, {windows_program, input, "1", "9600", "5"},
                               temp_dir() + "console.txt");
    pty_run::finish(p, nullptr);  // reading the master would unstall it
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(unix_lines(p.console), banner + announcement("A>B:i\n") +
                                         "\nUnable to write to serial port Com1 (no octet taken "
                                         "within 60 ms).\n");
    EXPECT_LT(pty_run::now_s() - p.started, 4.0) << "paused or hung";
}

// Wine turns SIGINT into Ctrl-C; it has no way to send Ctrl-Break or the
// closing of the console, so those are left to a real Windows machine.
TEST_F(WindowsProgram, CtrlCEndsThePauseAtOnceAndSaysHowFarItGot) {
    const std::string input = write_temp_file("two.txt", "A>B:i\nA>B:j\n");
    Program p = pty_run::start(wine, {windows_program, input, "1", "9600", "5"},
                               temp_dir() + "console.txt");
    pty_run::collect(p, &port, 21, 10);
    ASSERT_EQ(kill(p.pid, SIGINT), 0);
    const double signalled = pty_run::now_s();
    pty_run::finish(p, &port);
    EXPECT_LT(pty_run::now_s() - signalled, 2.0);
    EXPECT_EQ(p.status, 130);
    EXPECT_EQ(unix_lines(p.console),
              banner + announcement("A>B:i\n") + "\nRun stopped by Ctrl-C after frame 1.\n");
    EXPECT_EQ(p.octets.size(), 21U);
}

TEST_F(WindowsProgram, AHangUpEndsTheRunWithStatusOne) {
    const std::string input = write_temp_file("two.txt", "A>B:i\nA>B:j\n");
    Program p = pty_run::start(wine, {windows_program, input, "1", "9600", "2"},
                               temp_dir() + "console.txt");
    pty_run::collect(p, &port, 21, 10);
    ASSERT_EQ(p.octets.size(), 21U);
    close(port.master);  // the TNC goes away during the pause
    port.master = -1;
    pty_run::finish(p, &port);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(unix_lines(p.console), banner + announcement("A>B:i\n") + announcement("A>B:j\n") +
                                         "\nUnable to write to serial port Com1 (Not ready).\n");
}

}  // namespace
