// Windows as Microsoft documents it, where Wine is kinder: the program's
// Windows layers over fakes of the kernel32 and Winsock functions they
// import. With MinGW, a definition of __imp_NAME here is taken before the
// import library's, so every call goes through a fake; what is not the
// test's own (a handle, a module, a socket) is passed on to Windows.
//
// The fakes behave as these pages say:
// - SetCommState: "fails if the XonChar member of the DCB structure is equal
//   to the XoffChar member"; usbser.sys reports both as 0 (users' reports);
//   the DCB page: XonLim and XoffLim count octets of the input buffer;
//   UARTs under SerCx/SerCx2 refuse fAbortOnError (not supported).
// - DCB, fAbortOnError: on an error, reads and writes are ended with an
//   error status and none is accepted until ClearCommError is called.
// - Wait functions and GetTickCount64: they move in steps of the system
//   timer, 15.625 ms unless timeBeginPeriod(1) asks for 1 ms;
//   CreateWaitableTimerExW: CREATE_WAITABLE_TIMER_HIGH_RESOLUTION from
//   Windows 10 1803, ERROR_INVALID_PARAMETER before.
// - HandlerRoutine: for CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT and
//   CTRL_SHUTDOWN_EVENT the system ends the process once the handler
//   returns; a handler that returns FALSE leaves the default one, which ends
//   it at once.
// - connect (non-blocking): Windows retries a refused attempt (about 2 s)
//   before it reports WSAECONNREFUSED; recv: 0 when the peer has closed,
//   the last error left as it was.
#include <windows.h>
#include <winsock2.h>
#include <winternl.h>
#include <ws2tcpip.h>

#include "app/process.h"
#include "kiss/port.h"
#include "kiss/system_message_win32.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

// ntdll's own lookup, which no header declares.
extern "C" NTSTATUS NTAPI LdrGetProcedureAddress(HMODULE module, const ANSI_STRING* name,
                                                 ULONG ordinal, void** address);

namespace {

constexpr long long TICK = 156'250;        // the system timer's step, in 100 ns
constexpr long long RAISED_TICK = 10'000;  // after timeBeginPeriod(1)
constexpr long long RETRIED = 20'000'000;  // a refused connection, as Windows reports it
constexpr DWORD ENDED_BY_WINDOWS = STATUS_CONTROL_C_EXIT;

// What the fakes stand for, and what they saw.
struct Machine {
    // The serial driver.
    DCB found{};  // the settings as the driver reports them
    bool refuses_abort_on_error = false;
    int line_errors = 0;  // arriving during the next writes
    bool error_pending = false;
    bool takes_nothing = false;
    DWORD share = ~0UL;  // how the port was opened: not shared is 0
    DWORD input_queue = 0;
    DWORD output_queue = 0;
    DCB applied{};
    std::string octets;
    DWORD purged = 0;  // what PurgeComm was asked to do
    // The clock, in 100 ns steps, and its timers.
    long long now = 123'456'789;
    bool high_resolution = true;  // Windows 10 1803 or later
    bool period_raised = false;
    long long due = -1;
    // The TNC's addresses: when each attempt is settled, and how.
    int addresses = 0;
    long long settled_after[3]{};
    int outcome[3]{};
    SOCKET sockets[3]{};
    long long started[3]{};
    int peer_ended = 0;  // -1 after a close, else the error of a reset
} machine;

HANDLE port;  // the test's stand-ins for a COM port and a waitable timer
HANDLE timer;
PHANDLER_ROUTINE handler;
HMODULE const WINMM = reinterpret_cast<HMODULE>(&machine);  // any address that is no module

// Windows' own function, found without GetProcAddress, which is faked.
template <typename Function>
Function real(const char* module, const char* name) {
    ANSI_STRING text{static_cast<USHORT>(std::strlen(name)), 0, const_cast<char*>(name)};
    void* address = nullptr;
    (void)LdrGetProcedureAddress(GetModuleHandleA(module), &text, 0, &address);
    return reinterpret_cast<Function>(address);
}
#define REAL(module, name) real<decltype(&(name))>(module, #name)

long long tick() { return machine.period_raised ? RAISED_TICK : TICK; }
long long next_tick(long long when) { return (when + tick() - 1) / tick() * tick(); }

// The fakes take Windows' parameters, and most leave some unused.
// NOLINTBEGIN(readability-named-parameter)

// The serial driver.
HANDLE WINAPI fake_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES s,
                               DWORD how, DWORD flags, HANDLE model) {
    if (std::strncmp(name, "\\\\.\\COM", 7) != 0) {
        return REAL("kernel32", CreateFileA)(name, access, share, s, how, flags, model);
    }
    return machine.share = share, port;
}
BOOL WINAPI fake_SetupComm(HANDLE, DWORD in, DWORD out) {
    machine.input_queue = in;
    return machine.output_queue = out, TRUE;
}
BOOL WINAPI fake_GetCommState(HANDLE, LPDCB settings) { return *settings = machine.found, TRUE; }
BOOL WINAPI fake_SetCommState(HANDLE, LPDCB settings) {
    if (settings->XonChar == settings->XoffChar || settings->XonLim > machine.input_queue ||
        settings->XoffLim > machine.input_queue) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (settings->fAbortOnError && machine.refuses_abort_on_error) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return machine.applied = *settings, TRUE;
}
BOOL WINAPI fake_GetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return TRUE; }
BOOL WINAPI fake_SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return TRUE; }
BOOL WINAPI fake_WriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED o) {
    if (h != port) {
        return REAL("kernel32", WriteFile)(h, data, size, written, o);
    }
    *written = 0;
    machine.error_pending = machine.error_pending || machine.line_errors-- > 0;
    if (machine.error_pending && machine.applied.fAbortOnError) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    if (!machine.takes_nothing) {
        machine.octets.append(static_cast<const char*>(data), size);
        *written = size;
    }
    return TRUE;
}
BOOL WINAPI fake_ClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    *errors = machine.error_pending ? CE_FRAME : 0;
    machine.error_pending = false;
    if (status != nullptr) {
        *status = COMSTAT{};
    }
    return TRUE;
}
BOOL WINAPI fake_PurgeComm(HANDLE, DWORD flags) { return machine.purged = flags, TRUE; }
BOOL WINAPI fake_CloseHandle(HANDLE h) {
    return h == port || h == timer ? TRUE : REAL("kernel32", CloseHandle)(h);
}

// The clock.
BOOL WINAPI fake_QueryPerformanceCounter(LARGE_INTEGER* count) {
    return count->QuadPart = machine.now, TRUE;
}
BOOL WINAPI fake_QueryPerformanceFrequency(LARGE_INTEGER* f) {
    return f->QuadPart = 10'000'000, TRUE;
}
ULONGLONG WINAPI fake_GetTickCount64() { return machine.now / TICK * TICK / 10'000; }
HANDLE WINAPI fake_CreateWaitableTimerExW(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD flags, DWORD) {
    if ((flags & 0x2) != 0 && !machine.high_resolution) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return timer;
}
BOOL WINAPI fake_SetWaitableTimer(HANDLE, const LARGE_INTEGER* due, LONG, PTIMERAPCROUTINE, LPVOID,
                                  BOOL) {
    const long long when = machine.now - due->QuadPart;  // relative: negative
    return machine.due = machine.high_resolution ? when : next_tick(when), TRUE;
}
DWORD WINAPI fake_WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD ms) {
    const DWORD signalled = REAL("kernel32", WaitForMultipleObjects)(count, handles, all, 0);
    if (signalled != WAIT_TIMEOUT) {
        return signalled;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (handles[i] == timer && machine.due >= 0) {
            machine.now = machine.due > machine.now ? machine.due : machine.now;
            machine.due = -1;
            return WAIT_OBJECT_0 + i;
        }
    }
    if (ms == INFINITE) {
        return REAL("kernel32", WaitForMultipleObjects)(count, handles, all, ms);
    }
    machine.now = next_tick(machine.now + ms * 10'000LL);
    return WAIT_TIMEOUT;
}
DWORD WINAPI fake_WaitForSingleObject(HANDLE h, DWORD ms) {
    return fake_WaitForMultipleObjects(1, &h, FALSE, ms);
}
UINT WINAPI fake_timeBeginPeriod(UINT ms) { return machine.period_raised = ms == 1, 0; }
HMODULE WINAPI fake_LoadLibraryA(LPCSTR name) {
    return _stricmp(name, "winmm.dll") == 0 ? WINMM : REAL("kernel32", LoadLibraryA)(name);
}
FARPROC WINAPI fake_GetProcAddress(HMODULE module, LPCSTR name) {
    if (module != WINMM) {
        return REAL("kernel32", GetProcAddress)(module, name);
    }
    return std::strcmp(name, "timeBeginPeriod") == 0
               ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fake_timeBeginPeriod))
               : nullptr;
}
BOOL WINAPI fake_SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL) {
    return handler = routine, TRUE;
}

// Winsock.
// The attempt on s; a closed socket's handle may come back for a later one.
int find(SOCKET s) {
    int found = -1;
    for (int i = 0; i < machine.addresses; ++i) {
        found = machine.sockets[i] == s ? i : found;
    }
    return found;
}
// When an attempt is settled; a socket not the test's is ready at once.
long long settles(SOCKET s) {
    const int i = find(s);
    return i < 0 ? machine.now : machine.started[i] + machine.settled_after[i];
}
INT WSAAPI fake_getaddrinfo(PCSTR, PCSTR, const ADDRINFOA*, PADDRINFOA* found) {
    static sockaddr_in6 addresses[3];
    static addrinfo list[3];
    for (int i = 0; i < machine.addresses; ++i) {
        addresses[i] = sockaddr_in6{};
        addresses[i].sin6_family = AF_INET6;
        addresses[i].sin6_port = htons(static_cast<u_short>(8001 + i));
        addresses[i].sin6_addr.s6_addr[15] = 1;
        list[i] = addrinfo{0,
                           AF_INET6,
                           SOCK_STREAM,
                           IPPROTO_TCP,
                           sizeof addresses[i],
                           nullptr,
                           reinterpret_cast<sockaddr*>(&addresses[i]),
                           i + 1 < machine.addresses ? &list[i + 1] : nullptr};
    }
    return *found = list, 0;
}
VOID WSAAPI fake_freeaddrinfo(PADDRINFOA) {}
int WSAAPI fake_connect(SOCKET s, const sockaddr* address, int) {
    const int i = ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port) - 8001;
    machine.sockets[i] = s;
    machine.started[i] = machine.now;
    WSASetLastError(WSAEWOULDBLOCK);
    return SOCKET_ERROR;
}
int WSAAPI fake_select(int, fd_set* readable, fd_set* writable, fd_set* failed, timeval* wait) {
    long long first = machine.now + wait->tv_sec * 10'000'000LL + wait->tv_usec * 10LL;
    for (u_int k = 0; k < writable->fd_count; ++k) {
        const long long when = settles(writable->fd_array[k]);
        first = when < first ? when : first;
    }
    machine.now = first > machine.now ? first : machine.now;
    fd_set ready{};
    for (u_int k = 0; k < writable->fd_count; ++k) {
        if (settles(writable->fd_array[k]) <= machine.now) {
            ready.fd_array[ready.fd_count++] = writable->fd_array[k];
        }
    }
    *writable = ready;
    *failed = ready;
    (void)readable;
    return static_cast<int>(ready.fd_count);
}
int WSAAPI fake_getsockopt(SOCKET s, int level, int name, char* value, int* length) {
    const int i = find(s);
    if (i < 0 || name != SO_ERROR) {
        return REAL("ws2_32", getsockopt)(s, level, name, value, length);
    }
    std::memcpy(value, &machine.outcome[i], sizeof(int));
    return 0;
}
int WSAAPI fake_recv(SOCKET s, char* data, int size, int flags) {
    if (find(s) < 0) {
        return REAL("ws2_32", recv)(s, data, size, flags);
    }
    // After a close the last error is what a recv that would block left.
    WSASetLastError(machine.peer_ended > 0 ? machine.peer_ended : WSAEWOULDBLOCK);
    return machine.peer_ended < 0 ? 0 : SOCKET_ERROR;
}

// NOLINTEND(readability-named-parameter)

}  // namespace

// NOLINTBEGIN: the import slots are named by the linker's convention.
extern "C" {
decltype(&CreateFileA) __imp_CreateFileA = fake_CreateFileA;
decltype(&SetupComm) __imp_SetupComm = fake_SetupComm;
decltype(&GetCommState) __imp_GetCommState = fake_GetCommState;
decltype(&SetCommState) __imp_SetCommState = fake_SetCommState;
decltype(&GetCommTimeouts) __imp_GetCommTimeouts = fake_GetCommTimeouts;
decltype(&SetCommTimeouts) __imp_SetCommTimeouts = fake_SetCommTimeouts;
decltype(&WriteFile) __imp_WriteFile = fake_WriteFile;
decltype(&ClearCommError) __imp_ClearCommError = fake_ClearCommError;
decltype(&PurgeComm) __imp_PurgeComm = fake_PurgeComm;
decltype(&CloseHandle) __imp_CloseHandle = fake_CloseHandle;
decltype(&QueryPerformanceCounter) __imp_QueryPerformanceCounter = fake_QueryPerformanceCounter;
decltype(&QueryPerformanceFrequency) __imp_QueryPerformanceFrequency =
    fake_QueryPerformanceFrequency;
decltype(&GetTickCount64) __imp_GetTickCount64 = fake_GetTickCount64;
decltype(&CreateWaitableTimerExW) __imp_CreateWaitableTimerExW = fake_CreateWaitableTimerExW;
decltype(&SetWaitableTimer) __imp_SetWaitableTimer = fake_SetWaitableTimer;
decltype(&WaitForMultipleObjects) __imp_WaitForMultipleObjects = fake_WaitForMultipleObjects;
decltype(&WaitForSingleObject) __imp_WaitForSingleObject = fake_WaitForSingleObject;
decltype(&LoadLibraryA) __imp_LoadLibraryA = fake_LoadLibraryA;
decltype(&GetProcAddress) __imp_GetProcAddress = fake_GetProcAddress;
decltype(&SetConsoleCtrlHandler) __imp_SetConsoleCtrlHandler = fake_SetConsoleCtrlHandler;
decltype(&getaddrinfo) __imp_getaddrinfo = fake_getaddrinfo;
decltype(&freeaddrinfo) __imp_freeaddrinfo = fake_freeaddrinfo;
decltype(&connect) __imp_connect = fake_connect;
decltype(&select) __imp_select = fake_select;
decltype(&getsockopt) __imp_getsockopt = fake_getsockopt;
decltype(&recv) __imp_recv = fake_recv;
}
// NOLINTEND

namespace {

int passed;
int failed;

void check(const char* name, const std::string& problem) {
    std::printf("%s: %s%s%s\n", problem.empty() ? "ok" : "FAILED", name,
                problem.empty() ? "" : ": ", problem.c_str());
    (problem.empty() ? passed : failed) += 1;
}

std::string reason_for(DWORD error) { return kiss::system_message(error); }

// Serial ports as their drivers report and take the settings.
struct SerialCase {
    const char* name;
    char xon, xoff;  // as the driver reports them
    WORD limit;      // XonLim and XoffLim, likewise
    bool refuses_abort_on_error;
    int line_errors;
    bool takes_nothing;
    const char* written;  // what reaches the line, or the reason for the failed write
};
const SerialCase serial_cases[] = {
    {"serial.sys, a line error aborting a write", 0x11, 0x13, 64, false, 1, false, "\xC0\x01\xC0"},
    {"usbser.sys, XON and XOFF both 0", 0, 0, 0, false, 0, false, "\xC0\x01\xC0"},
    {"thresholds beyond the input queue", 0x11, 0x13, 2048, false, 0, false, "\xC0\x01\xC0"},
    {"a SerCx UART, abort on error refused", 0x11, 0x13, 64, true, 2, false, "\xC0\x01\xC0"},
    {"a write that takes nothing", 0x11, 0x13, 64, false, 0, true, "no octet taken within 60 ms"},
};

void serial_case(const SerialCase& c) {
    machine = Machine{};
    machine.found.DCBlength = sizeof(DCB);
    machine.found.XonChar = c.xon;
    machine.found.XoffChar = c.xoff;
    machine.found.XonLim = machine.found.XoffLim = c.limit;
    machine.found.fRtsControl = RTS_CONTROL_HANDSHAKE;
    machine.refuses_abort_on_error = c.refuses_abort_on_error;
    machine.line_errors = c.line_errors;
    machine.takes_nothing = c.takes_nothing;
    kiss::port = &kiss::serial_port;
    (void)std::snprintf(kiss::port_name, sizeof kiss::port_name, "COM5");
    kiss::baud_rate = 9600;
    std::string problem;
    if (kiss::port->open() != kiss::port_ready) {
        problem = std::string("refused: ") + kiss::failure_reason();
    } else if (machine.applied.fOutX || machine.applied.fInX ||
               machine.applied.fRtsControl != RTS_CONTROL_HANDSHAKE) {
        problem = "flow control changed";
    } else if (machine.share != 0 || machine.input_queue != 128 || machine.output_queue != 128) {
        problem = "the port shared, or its queues not of 128 octets";
    } else {
        const std::uint8_t frame[] = {0xC0, 0x01, 0xC0};
        const bool sent = kiss::port->send(frame, sizeof frame);
        const std::string result = sent ? machine.octets : kiss::failure_reason();
        // A failed write discards what is unsent, so that closing does not wait on it.
        const bool purged = machine.purged == (PURGE_TXABORT | PURGE_TXCLEAR);
        if (result != c.written || sent == purged) {
            problem = "wrote '" + result + (purged ? "', purged" : "', not purged");
        }
    }
    kiss::port->close();
    check(c.name, problem);
}

// The pause, on Windows with and without the high-resolution timer.
void pause_case(const char* name, bool high_resolution) {
    machine = Machine{};
    machine.high_resolution = high_resolution;
    kiss::port = &kiss::serial_port;
    app::prepare_process();
    const long long started = machine.now;
    const bool went_on = app::pause_for(1000);
    const long long late = machine.now - started - 10'000'000;
    check(name,
          went_on && late >= 0 && late <= 10'000
              ? ""
              : "the pause off by " + std::to_string(static_cast<double>(late) / 10'000) + " ms");
}

// A TNC on TCP whose addresses answer (0) or refuse, after Windows' retries.
struct TcpCase {
    const char* name;
    int addresses;
    long long settled_after[3];
    int outcome[3];
    const char* reason;  // nullptr: connected
    long long within;    // 100 ns
};
const TcpCase tcp_cases[] = {
    {"localhost, ::1 refused and 127.0.0.1 answering",
     2,
     {RETRIED, 10'000},
     {WSAECONNREFUSED, 0},
     nullptr,
     100'000},
    {"three addresses refused",
     3,
     {RETRIED, RETRIED, RETRIED},
     {WSAECONNREFUSED, WSAECONNREFUSED, WSAECONNREFUSED},
     "refused",
     RETRIED + 100'000},
    {"no answer", 1, {60 * 10'000'000LL}, {0}, "no answer within 5 s", 50'000'000 + 100'000},
};

void tcp_case(const TcpCase& c) {
    machine = Machine{};
    machine.addresses = c.addresses;
    std::memcpy(machine.settled_after, c.settled_after, sizeof c.settled_after);
    std::memcpy(machine.outcome, c.outcome, sizeof c.outcome);
    kiss::port = &kiss::tcp_port;
    (void)std::snprintf(kiss::port_name, sizeof kiss::port_name, "localhost:8001");
    const long long started = machine.now;
    const bool connected = kiss::port->open() == kiss::port_ready;
    const std::string reason = connected ? "" : kiss::failure_reason();
    const std::string wanted = c.reason == nullptr                     ? ""
                               : std::strcmp(c.reason, "refused") == 0 ? reason_for(WSAECONNREFUSED)
                                                                       : c.reason;
    std::string problem;
    if (connected != (c.reason == nullptr) || reason != wanted ||
        machine.now - started > c.within) {
        problem =
            "'" + reason + "' after " + std::to_string((machine.now - started) / 10'000) + " ms";
    }
    kiss::port->close();
    check(c.name, problem);
}

// A TNC that has closed (recv gives 0, and leaves the last error as it
// was) or reset the connection (recv fails with WSAECONNRESET).
void tcp_ended_case(const char* name, int ended, const std::string& wanted) {
    machine = Machine{};
    machine.addresses = 1;
    kiss::port = &kiss::tcp_port;
    (void)std::snprintf(kiss::port_name, sizeof kiss::port_name, "localhost:8001");
    const bool connected = kiss::port->open() == kiss::port_ready;
    machine.peer_ended = ended;
    const std::uint8_t frame[] = {0xC0, 0x00, 0xC0};
    const bool sent = connected && kiss::port->send(frame, sizeof frame);
    const std::string reason = kiss::failure_reason();
    kiss::port->close();
    check(name, connected && !sent && reason == wanted ? "" : "'" + reason + "'");
}

// A request to stop, in a process of its own (the first request is the one
// kept). Windows runs the handler on a thread of its own and ends the
// process when a closing handler returns.
struct StopCase {
    DWORD event;
    const char* name;
    int status;
};
const StopCase stop_cases[] = {
    {CTRL_C_EVENT, "Ctrl-C", 130},
    {CTRL_BREAK_EVENT, "Ctrl-Break", 149},
    {CTRL_CLOSE_EVENT, "closing the console", 143},
    {CTRL_LOGOFF_EVENT, "logging off", 143},
    {CTRL_SHUTDOWN_EVENT, "shutting down", 143},
};

DWORD WINAPI windows_handling(LPVOID stop) {
    const DWORD kind = static_cast<const StopCase*>(stop)->event;
    if (handler(kind) == FALSE || (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT)) {
        ExitProcess(ENDED_BY_WINDOWS);
    }
    return 0;
}

int stop_child(const StopCase& c) {
    kiss::port = &kiss::serial_port;
    app::prepare_process();
    (void)CreateThread(nullptr, 0, windows_handling, const_cast<StopCase*>(&c), 0, nullptr);
    Sleep(100);
    // The run: the pause ends at once, the port is released, the process
    // ends with the status of the request; a returned handler would end it first.
    const bool went_on = app::pause_for(60'000);
    const bool named =
        app::stop_request() != nullptr && std::strcmp(app::stop_request(), c.name) == 0;
    app::process_finished();
    Sleep(200);
    return !went_on && named ? app::stop_status() : 1;
}

void stop_case(const StopCase& c, int index) {
    wchar_t program[MAX_PATH];
    (void)GetModuleFileNameW(nullptr, program, MAX_PATH);
    wchar_t command[MAX_PATH + 16];
    (void)std::swprintf(command, sizeof command / sizeof command[0], L"\"%ls\" %d", program, index);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION child{};
    DWORD status = 0;
    if (CreateProcessW(program, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                       &child) != FALSE) {
        (void)REAL("kernel32", WaitForSingleObject)(child.hProcess, INFINITE);
        (void)GetExitCodeProcess(child.hProcess, &status);
    }
    check((std::string("stopped by ") + c.name).c_str(),
          status == static_cast<DWORD>(c.status) ? "" : "exit status " + std::to_string(status));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    port = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    timer = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (argc == 2) {
        return stop_child(stop_cases[_wtoi(argv[1])]);
    }
    for (const SerialCase& c : serial_cases) {
        serial_case(c);
    }
    pause_case("a pause, high-resolution timer", true);
    pause_case("a pause, before Windows 10 1803", false);
    for (const TcpCase& c : tcp_cases) {
        tcp_case(c);
    }
    tcp_ended_case("a TNC that closed the connection", -1, "the TNC closed the connection");
    tcp_ended_case("a TNC that reset the connection", WSAECONNRESET, reason_for(WSAECONNRESET));
    for (int i = 0; i < static_cast<int>(sizeof stop_cases / sizeof stop_cases[0]); ++i) {
        stop_case(stop_cases[i], i);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
