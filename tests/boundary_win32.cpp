// Windows as Microsoft documents it, where Wine is kinder: the program's
// Windows layers over fakes of the kernel32 and Winsock functions they
// import. With MinGW, a definition of __imp_NAME here is taken before the
// import library's, so every call goes through a fake; what is not the
// test's own (a handle, a module, a socket) is passed on to Windows.
//
// The fakes behave as these pages of Microsoft's documentation say:
// - CreateFile: "for communications resources ... the dwShareMode parameter
//   must be zero (exclusive access)".
// - DCB: "DCBlength: the length of the structure, in bytes. The caller must
//   set this member to sizeof(DCB)"; XonLim and XoffLim count octets of the
//   driver's input buffer; fAbortOnError: on an error, reads and writes end
//   with an error, and none is accepted until ClearCommError is called.
// - SetupComm: "the device driver receives the recommended buffer sizes, but
//   is free to use any input and output buffering scheme"; Windows' serial
//   driver keeps an input buffer of its own (here 4096 octets) when a
//   smaller one is asked, and has no output buffer.
// - SetCommState: "fails if the XonChar member of the DCB structure is equal
//   to the XoffChar member"; usbser.sys reports both as 0 (users' reports);
//   UARTs under SerCx/SerCx2 do not support fAbortOnError.
// - COMMTIMEOUTS: a write's total time-out is WriteTotalTimeoutMultiplier
//   times the octets plus WriteTotalTimeoutConstant; "a time-out on a write
//   completes with the number of bytes written" (none, here). The serial
//   driver hands each octet to the UART, so a one-octet write takes the time
//   the line needs for it: ten bits at the speed set. A USB adapter pulled
//   out fails every write with ERROR_ACCESS_DENIED (usbser.sys, users' reports).
// - ClearCommError: COMSTAT.cbInQue is the number of octets received and not
//   yet read; ReadFile returns them, and waits out the read time-outs for
//   what is asked beyond them. On a handle opened FILE_FLAG_OVERLAPPED, a
//   ReadFile or WriteFile that completes at once returns TRUE, its count
//   then given by GetOverlappedResult.
// - WaitCommEvent, overlapped: FALSE with ERROR_IO_PENDING until one of the
//   mask's events (EV_RXCHAR: a character received) sets the OVERLAPPED's
//   event; a SetCommMask meanwhile ends it at once. GetOverlappedResult with
//   bWait FALSE gives ERROR_IO_INCOMPLETE while it is pending.
// - Wait functions: they move in steps of the system timer, 15.625 ms
//   unless timeBeginPeriod(1) asks for 1 ms; CreateWaitableTimerExW takes
//   CREATE_WAITABLE_TIMER_HIGH_RESOLUTION from Windows 10 1803, and fails
//   with ERROR_INVALID_PARAMETER before.
// - HandlerRoutine: for CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT and
//   CTRL_SHUTDOWN_EVENT the system ends the process once the handler
//   returns, or when its time-out (5 s) has passed; a handler that returns
//   FALSE leaves the default one, which ends it at once.
// - GetAddrInfoExW with an OVERLAPPED: returns WSA_IO_PENDING, sets the
//   event when done; GetAddrInfoExOverlappedResult gives WSAEINPROGRESS
//   until then; GetAddrInfoExCancel ends it with WSA_E_CANCELLED.
// - connect (non-blocking): Windows retries a refused attempt (about 2 s)
//   before it reports WSAECONNREFUSED; WSAEventSelect with FD_CONNECT sets
//   the event when the attempt is settled, and WSAEnumNetworkEvents reports
//   it once, with iErrorCode[FD_CONNECT_BIT].
// - recv: fails with WSAECONNRESET when the peer has reset the connection.
// - GetConsoleMode fails for a handle that is not a console's; WriteConsoleW
//   takes UTF-16, whatever the console's code page; WriteConsole: a console
//   whose text is being selected (QuickEdit) takes nothing more until the
//   selection ends; SetConsoleOutputCP changes the code page of the console,
//   which every process attached to it shares.
// - Maximum Path Length Limitation: a path of MAX_PATH (260) characters or
//   more is refused unless it has the "\\?\" prefix (or the program is
//   long-path aware and the system set to allow it), by the file functions
//   and the C runtime's alike.
// - FormatMessage: "the output buffer cannot be larger than 64K bytes"; a
//   message that does not fit the buffer given fails the call with
//   ERROR_INSUFFICIENT_BUFFER.
#include <windows.h>
#include <winsock2.h>
#include <winternl.h>
#include <ws2tcpip.h>

#include "app/console.h"
#include "app/input.h"
#include "app/process.h"
#include "app/run.h"
#include "ports/port.h"
#include "services/system_message_win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <tuple>

// ntdll's own lookup, and Winsock's that MinGW's headers do not declare.
extern "C" {
NTSTATUS NTAPI LdrGetProcedureAddress(HMODULE module, const ANSI_STRING* name, ULONG ordinal,
                                      void** address);
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExCancel(LPHANDLE handle);
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED overlapped);
}

namespace {

constexpr long long MS = 10'000;             // the fake clock counts 100 ns steps
constexpr long long TICK = 156'250;          // the system timer's step
constexpr long long RETRIED = 2'000 * MS;    // a refused connection, as Windows reports it
constexpr DWORD DRIVER_INPUT_BUFFER = 4096;  // what the serial driver keeps, at the least
constexpr DWORD ENDED_BY_WINDOWS = STATUS_CONTROL_C_EXIT;

// What the fakes stand for, and what they saw.
struct Machine {
    // The serial driver and its line.
    DCB found{};  // the settings as the driver reports them
    bool refuses_abort_on_error = false;
    int line_errors = 0;        // arriving during the next writes,
    long long abort_after = 0;  // this long into each
    bool error_pending = false;
    bool takes_nothing = false;
    DWORD pulled_out = 0;              // the error every write fails with, once the device is gone
    std::string input;                 // what the TNC has sent and nobody has read
    long long talks_at = -1;           // when the TNC sends an octet more
    LPOVERLAPPED comm_wait = nullptr;  // the wait for a character under way
    int wakeups = 0;                   // waits that ended
    DWORD input_buffer = DRIVER_INPUT_BUFFER;
    DCB applied{};
    COMMTIMEOUTS time_outs{};
    std::string octets;
    DWORD purged = 0;  // what PurgeComm was asked to do
    // The clock and its timers.
    long long now = 123'456'789;
    bool high_resolution = true;  // Windows 10 1803 or later
    bool period_raised = false;
    long long due = -1;
    long long stop_at = -1;  // when Ctrl-C is pressed
    // The TNC's name, how long its lookup takes, its addresses: when each
    // attempt is settled, and how.
    std::wstring host;
    long long lookup_takes = 0;
    long long looked_up = -1;  // when the lookup is done
    HANDLE lookup_done = nullptr;
    bool lookup_cancelled = false;
    int addresses = 0;
    long long settled_after[3]{};
    int outcome[3]{};
    SOCKET sockets[3]{};
    long long started[3]{};
    bool heard[3]{};
    HANDLE attempt_news = nullptr;
    bool reset = false;  // by the TNC
    // The system's message for LONG_MESSAGE, in the user's language.
    std::wstring message;
    // Standard output: a console window or a file, what reached it, and
    // whether the console reads (no text selected in it).
    HANDLE output = nullptr;  // nullptr: Windows' own
    std::wstring shown;
    std::string written;
    HANDLE reading = nullptr;  // a console that waits until this is set
    bool code_page_set = false;
} machine;

constexpr DWORD LONG_MESSAGE = 0x2000'0001;  // an error number of the test's own

HANDLE port;  // the test's stand-ins for a COM port, a waitable timer, a console window and a file
HANDLE timer;
HANDLE console;
HANDLE file;
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

long long tick() { return machine.period_raised ? MS : TICK; }
long long next_tick(long long when) { return (when + tick() - 1) / tick() * tick(); }

// The fakes take Windows' parameters, and most leave some unused.
// NOLINTBEGIN(readability-named-parameter)

// The serial driver.
HANDLE WINAPI fake_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES s,
                               DWORD how, DWORD flags, HANDLE model) {
    if (std::strncmp(name, "\\\\.\\COM", 7) != 0) {
        return REAL("kernel32", CreateFileA)(name, access, share, s, how, flags, model);
    }
    if (share != 0) {  // a communications resource is never shared
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}
// Files.
// A name for ERROR_PATH_NOT_FOUND, whose macro MinGW writes with a lowercase suffix.
const DWORD PATH_NOT_FOUND = ERROR_PATH_NOT_FOUND;
bool too_long(const wchar_t* path) {
    return std::wcslen(path) >= MAX_PATH && std::wcsncmp(path, L"\\\\?\\", 4) != 0;
}
HANDLE WINAPI fake_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES s,
                               DWORD how, DWORD flags, HANDLE model) {
    if (too_long(name)) {
        SetLastError(PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return REAL("kernel32", CreateFileW)(name, access, share, s, how, flags, model);
}
FILE* __cdecl fake__wfopen(const wchar_t* name, const wchar_t* mode) {
    if (too_long(name)) {
        errno = ENOENT;
        return nullptr;
    }
    return REAL("msvcrt", _wfopen)(name, mode);
}
BOOL WINAPI fake_SetupComm(HANDLE, DWORD in, DWORD) {
    machine.input_buffer = in > machine.input_buffer ? in : machine.input_buffer;
    return TRUE;
}
BOOL WINAPI fake_GetCommState(HANDLE, LPDCB settings) {
    if (settings->DCBlength != sizeof(DCB)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return *settings = machine.found, TRUE;
}
BOOL WINAPI fake_SetCommState(HANDLE, LPDCB settings) {
    if (settings->XonChar == settings->XoffChar || settings->XonLim > machine.input_buffer ||
        settings->XoffLim > machine.input_buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (settings->fAbortOnError && machine.refuses_abort_on_error) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return machine.applied = *settings, TRUE;
}
BOOL WINAPI fake_GetCommTimeouts(HANDLE, LPCOMMTIMEOUTS t) { return *t = machine.time_outs, TRUE; }
BOOL WINAPI fake_SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS t) { return machine.time_outs = *t, TRUE; }
// An overlapped read or write that ends at once: its count in the OVERLAPPED.
BOOL transferred(LPOVERLAPPED o, LPDWORD count, DWORD n) {
    if (count != nullptr) {
        *count = n;
    } else {
        o->InternalHigh = n;
    }
    return TRUE;
}
BOOL WINAPI fake_WriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED o) {
    if (h == machine.output) {
        machine.written.append(static_cast<const char*>(data), size);
        return *written = size, TRUE;
    }
    if (h != port) {
        return REAL("kernel32", WriteFile)(h, data, size, written, o);
    }
    if (machine.pulled_out != 0) {
        SetLastError(machine.pulled_out);
        return FALSE;
    }
    if (machine.line_errors-- > 0) {
        machine.error_pending = true;
        machine.now += machine.abort_after;
    }
    if (machine.error_pending && machine.applied.fAbortOnError) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    const COMMTIMEOUTS& t = machine.time_outs;
    const long long allowed =
        (t.WriteTotalTimeoutMultiplier * size + t.WriteTotalTimeoutConstant) * MS;
    const long long needed = 10 * 10'000'000LL * size / machine.applied.BaudRate;
    if (machine.takes_nothing || (allowed > 0 && needed > allowed)) {
        machine.now += allowed > 0 ? allowed : 3'600'000 * MS;  // no time-out: an hour, say
        return transferred(o, written, 0);
    }
    machine.now += needed;
    machine.octets.append(static_cast<const char*>(data), size);
    return transferred(o, written, size);
}
BOOL WINAPI fake_ReadFile(HANDLE h, LPVOID data, DWORD size, LPDWORD got, LPOVERLAPPED o) {
    if (h != port) {
        return REAL("kernel32", ReadFile)(h, data, size, got, o);
    }
    const DWORD n = size < machine.input.size() ? size : static_cast<DWORD>(machine.input.size());
    if (n < size) {
        const COMMTIMEOUTS& t = machine.time_outs;
        machine.now += (t.ReadTotalTimeoutMultiplier * size + t.ReadTotalTimeoutConstant) * MS;
    }
    std::memcpy(data, machine.input.data(), n);
    machine.input.erase(0, n);
    return transferred(o, got, n);
}
// The TNC's octet arrives when its time has come, which ends a wait for it.
void hear_tnc() {
    if (machine.talks_at >= 0 && machine.now >= machine.talks_at) {
        machine.input += 'x';
        machine.talks_at = -1;
    }
}
BOOL WINAPI fake_WaitCommEvent(HANDLE, LPDWORD mask, LPOVERLAPPED o) {
    if (!machine.input.empty()) {
        return *mask = EV_RXCHAR, TRUE;
    }
    machine.comm_wait = o;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}
// A new mask ends the wait under way, which then reports no event.
BOOL WINAPI fake_SetCommMask(HANDLE, DWORD) { return TRUE; }
BOOL WINAPI fake_GetOverlappedResult(HANDLE h, LPOVERLAPPED o, LPDWORD count, BOOL wait) {
    if (h != port) {
        return REAL("kernel32", GetOverlappedResult)(h, o, count, wait);
    }
    hear_tnc();
    if (o == machine.comm_wait && machine.input.empty() && wait == FALSE) {
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    machine.comm_wait = o == machine.comm_wait ? nullptr : machine.comm_wait;
    return *count = static_cast<DWORD>(o->InternalHigh), TRUE;
}
BOOL WINAPI fake_ClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    *errors = machine.error_pending ? CE_FRAME : 0;
    machine.error_pending = false;
    if (status != nullptr) {
        *status = COMSTAT{};
        status->cbInQue = static_cast<DWORD>(machine.input.size());
    }
    return TRUE;
}
BOOL WINAPI fake_PurgeComm(HANDLE, DWORD flags) { return machine.purged = flags, TRUE; }
BOOL WINAPI fake_CloseHandle(HANDLE h) {
    machine.lookup_done = h == machine.lookup_done ? nullptr : machine.lookup_done;  // reused
    return h == port || h == timer ? TRUE : REAL("kernel32", CloseHandle)(h);
}

// The clock.
BOOL WINAPI fake_QueryPerformanceCounter(LARGE_INTEGER* count) {
    return count->QuadPart = machine.now, TRUE;
}
BOOL WINAPI fake_QueryPerformanceFrequency(LARGE_INTEGER* f) {
    return f->QuadPart = 10'000'000, TRUE;
}
ULONGLONG WINAPI fake_GetTickCount64() { return machine.now / TICK * TICK / MS; }
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
// When a handle of the test's is signalled: the timer at its due time, the
// lookup's event when it is done, the attempts' when the first not yet
// heard of settles; -1 for none of these.
long long settles(int attempt) { return machine.started[attempt] + machine.settled_after[attempt]; }
long long ready_at(HANDLE h) {
    long long when = h == timer                 ? machine.due
                     : h == machine.lookup_done ? machine.looked_up
                     : machine.comm_wait != nullptr && h == machine.comm_wait->hEvent
                         ? machine.talks_at
                         : -1;
    for (int i = 0; h == machine.attempt_news && i < machine.addresses; ++i) {
        when = machine.heard[i] || (when >= 0 && when < settles(i)) ? when : settles(i);
    }
    return h == machine.lookup_done && machine.lookup_cancelled ? machine.now : when;
}
DWORD WINAPI fake_WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD ms) {
    ++machine.wakeups;
    DWORD first = count;
    for (DWORD i = 0; i < count; ++i) {
        const long long when = ready_at(handles[i]);
        first = when >= 0 && (first == count || when < ready_at(handles[first])) ? i : first;
    }
    if (machine.stop_at >= 0 && (first == count || machine.stop_at <= ready_at(handles[first]))) {
        machine.now = machine.stop_at > machine.now ? machine.stop_at : machine.now;
        machine.stop_at = -1;
        (void)handler(CTRL_C_EVENT);  // as if on a thread of its own
    }
    const DWORD signalled = REAL("kernel32", WaitForMultipleObjects)(count, handles, all, 0);
    if (signalled != WAIT_TIMEOUT || (first == count && ms == INFINITE)) {
        return signalled != WAIT_TIMEOUT
                   ? signalled
                   : REAL("kernel32", WaitForMultipleObjects)(count, handles, all, ms);
    }
    if (first == count) {
        machine.now = next_tick(machine.now + ms * MS);
        return WAIT_TIMEOUT;
    }
    const long long when = ready_at(handles[first]);
    machine.now = when > machine.now ? when : machine.now;
    machine.due = handles[first] == timer ? -1 : machine.due;
    return WAIT_OBJECT_0 + first;
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
INT WSAAPI fake_GetAddrInfoExW(PCWSTR name, PCWSTR, DWORD, LPGUID, const ADDRINFOEXW*,
                               PADDRINFOEXW* found, timeval*, LPOVERLAPPED lookup,
                               LPLOOKUPSERVICE_COMPLETION_ROUTINE, LPHANDLE) {
    static sockaddr_in6 addresses[3];
    static ADDRINFOEXW list[3];
    for (int i = 0; i < machine.addresses; ++i) {
        addresses[i] = sockaddr_in6{};
        addresses[i].sin6_family = AF_INET6;
        addresses[i].sin6_port = htons(static_cast<u_short>(8001 + i));
        addresses[i].sin6_addr.s6_addr[15] = 1;
        list[i] = ADDRINFOEXW{};
        list[i].ai_family = AF_INET6;
        list[i].ai_socktype = SOCK_STREAM;
        list[i].ai_protocol = IPPROTO_TCP;
        list[i].ai_addrlen = sizeof addresses[i];
        list[i].ai_addr = reinterpret_cast<sockaddr*>(&addresses[i]);
        list[i].ai_next =
            i + 1 < machine.addresses ? reinterpret_cast<addrinfoexW*>(&list[i + 1]) : nullptr;
    }
    machine.host = name == nullptr ? L"" : name;
    machine.lookup_done = lookup->hEvent;
    machine.looked_up = machine.now + machine.lookup_takes;
    *found = list;
    return WSA_IO_PENDING;
}
INT WSAAPI fake_GetAddrInfoExOverlappedResult(LPOVERLAPPED) {
    return machine.lookup_cancelled           ? WSA_E_CANCELLED
           : machine.now >= machine.looked_up ? 0
                                              : WSAEINPROGRESS;
}
INT WSAAPI fake_GetAddrInfoExCancel(LPHANDLE) { return machine.lookup_cancelled = true, 0; }
VOID WSAAPI fake_FreeAddrInfoExW(PADDRINFOEXW) {}
int WSAAPI fake_WSAEventSelect(SOCKET s, WSAEVENT news, long what) {
    machine.attempt_news = what == FD_CONNECT ? news : machine.attempt_news;
    return REAL("ws2_32", WSAEventSelect)(s, news, what);
}
int WSAAPI fake_connect(SOCKET s, const sockaddr* address, int) {
    const int i = ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port) - 8001;
    machine.sockets[i] = s;
    machine.started[i] = machine.now;
    WSASetLastError(WSAEWOULDBLOCK);
    return SOCKET_ERROR;
}
// An attempt's settling is heard of once, as Windows records network events.
int WSAAPI fake_WSAEnumNetworkEvents(SOCKET s, WSAEVENT news, LPWSANETWORKEVENTS heard) {
    const int i = find(s);
    if (i < 0) {
        return REAL("ws2_32", WSAEnumNetworkEvents)(s, news, heard);
    }
    *heard = WSANETWORKEVENTS{};
    if (!machine.heard[i] && settles(i) <= machine.now) {
        machine.heard[i] = true;
        heard->lNetworkEvents = FD_CONNECT;
        heard->iErrorCode[FD_CONNECT_BIT] = machine.outcome[i];
    }
    return 0;
}
int WSAAPI fake_recv(SOCKET s, char* data, int size, int flags) {
    if (find(s) < 0) {
        return REAL("ws2_32", recv)(s, data, size, flags);
    }
    WSASetLastError(machine.reset ? WSAECONNRESET : WSAEWOULDBLOCK);
    return SOCKET_ERROR;
}

// The console.
HANDLE WINAPI fake_GetStdHandle(DWORD which) {
    const bool ours = which == STD_OUTPUT_HANDLE && machine.output != nullptr;
    return ours ? machine.output : REAL("kernel32", GetStdHandle)(which);
}
BOOL WINAPI fake_GetConsoleMode(HANDLE h, LPDWORD mode) {
    if (h == machine.output) {
        SetLastError(ERROR_INVALID_HANDLE);
        return h == console ? (*mode = ENABLE_PROCESSED_OUTPUT, TRUE) : FALSE;
    }
    return REAL("kernel32", GetConsoleMode)(h, mode);
}
BOOL WINAPI fake_WriteConsoleW(HANDLE h, const VOID* text, DWORD size, LPDWORD written, LPVOID) {
    if (h != console) {
        return REAL("kernel32", WriteConsoleW)(h, text, size, written, nullptr);
    }
    if (machine.reading != nullptr) {
        (void)REAL("kernel32", WaitForSingleObject)(machine.reading, INFINITE);
    }
    machine.shown.append(static_cast<const wchar_t*>(text), size);
    return *written = size, TRUE;
}
UINT WINAPI fake_GetConsoleOutputCP() { return 1252; }
BOOL WINAPI fake_SetConsoleOutputCP(UINT) { return machine.code_page_set = true, TRUE; }

// Messages.
DWORD WINAPI fake_FormatMessageW(DWORD flags, LPCVOID from, DWORD id, DWORD language, LPWSTR out,
                                 DWORD size, va_list* inserts) {
    if (id != LONG_MESSAGE) {
        return REAL("kernel32", FormatMessageW)(flags, from, id, language, out, size, inserts);
    }
    if (machine.message.size() >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wmemcpy(out, machine.message.c_str(), machine.message.size() + 1);
    return static_cast<DWORD>(machine.message.size());
}

// NOLINTEND(readability-named-parameter)

}  // namespace

// NOLINTBEGIN: the import slots are named by the linker's convention.
#define FAKE(name) decltype(&name) __imp_##name = fake_##name;
extern "C" {
// clang-format off
FAKE(CreateFileA) FAKE(CreateFileW) FAKE(_wfopen) FAKE(SetupComm) FAKE(GetCommState)
FAKE(SetCommState) FAKE(GetCommTimeouts) FAKE(SetCommTimeouts) FAKE(WriteFile) FAKE(ReadFile)
FAKE(ClearCommError) FAKE(PurgeComm) FAKE(CloseHandle) FAKE(WaitCommEvent) FAKE(SetCommMask)
FAKE(GetOverlappedResult)
FAKE(QueryPerformanceCounter) FAKE(QueryPerformanceFrequency) FAKE(GetTickCount64)
FAKE(CreateWaitableTimerExW) FAKE(SetWaitableTimer) FAKE(WaitForMultipleObjects)
FAKE(WaitForSingleObject) FAKE(LoadLibraryA) FAKE(GetProcAddress) FAKE(SetConsoleCtrlHandler)
FAKE(GetAddrInfoExW) FAKE(GetAddrInfoExOverlappedResult) FAKE(GetAddrInfoExCancel)
FAKE(FreeAddrInfoExW) FAKE(WSAEventSelect) FAKE(connect) FAKE(WSAEnumNetworkEvents) FAKE(recv)
FAKE(FormatMessageW) FAKE(GetStdHandle) FAKE(GetConsoleMode) FAKE(WriteConsoleW)
FAKE(GetConsoleOutputCP) FAKE(SetConsoleOutputCP)
// clang-format on
}
// NOLINTEND

namespace {

// UTF-16 as UTF-8, for comparing and showing.
std::string narrow(const std::wstring& text) {
    std::string octets(3 * text.size(), '\0');
    octets.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), octets.data(),
                            static_cast<int>(octets.size()), nullptr, nullptr)));
    return octets;
}

// The port the tests open, named as a user names it.
ports::Port named;
void name(const char* text, std::int32_t speed) {
    (void)ports::name_port(text, named);
    named.speed = speed;
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Serial ports as their drivers report and take the settings (XonChar,
// XoffChar, XonLim and XoffLim, abort on error), and lines that take an
// octet in its time, or nothing; a frame, what reaches the line or why not,
// and how long it may take.
struct SerialCase {
    const char* name;
    char xon, xoff;
    WORD limit;
    bool refuses_abort_on_error;
    int line_errors;
    long long abort_after;
    bool takes_nothing;
    std::size_t talk;  // octets the TNC has sent before the frame
    DWORD baud;
    const char* written;
    long long within;
    DWORD pulled_out = 0;  // a USB adapter pulled out: the port is lost, with the system's reason
};
const char* const FRAME = "\xC0\x01\xC0";
const char* const STALLED = "no octet taken within 60 ms";
// clang-format off
const SerialCase serial_cases[] = {
    {"serial.sys, a line error aborting a write", 0x11, 0x13, 64, false, 1, 0, false, 0, 9600, FRAME, 4 * MS},
    {"usbser.sys, XON and XOFF both 0", 0, 0, 0, false, 0, 0, false, 0, 9600, FRAME, 4 * MS},
    {"thresholds kept, within the driver's own buffer", 0x11, 0x13, 2048, false, 0, 0, false, 0, 9600,
     FRAME, 4 * MS},
    {"a SerCx UART, abort on error refused", 0x11, 0x13, 64, true, 2, 0, false, 0, 9600, FRAME, 4 * MS},
    {"the TNC talking: what it sent is read", 0x11, 0x13, 64, false, 0, 0, false, 3000, 9600, FRAME, 4 * MS},
    {"a write that takes nothing", 0x11, 0x13, 64, false, 0, 0, true, 0, 9600, STALLED, 61 * MS},
    {"a line error late in a write: one deadline", 0x11, 0x13, 64, false, 1, 50 * MS, true, 0, 9600,
     STALLED, 61 * MS},
    {"110 Bd, each octet taking its 91 ms on the line", 0x11, 0x13, 64, false, 0, 0, false, 0, 110, FRAME,
     275 * MS},
    {"usbser.sys, the adapter pulled out", 0x11, 0x13, 64, false, 0, 0, false, 0, 9600, "", 4 * MS,
     ERROR_ACCESS_DENIED},
};
// clang-format on

TEST(Serial, TakesAFrameAsWindowsDriversDo) {
    for (const SerialCase& c : serial_cases) {
        SCOPED_TRACE(c.name);
        machine = Machine{};
        machine.found.DCBlength = sizeof(DCB);
        machine.found.XonChar = c.xon;
        machine.found.XoffChar = c.xoff;
        machine.found.XonLim = machine.found.XoffLim = c.limit;
        machine.found.fRtsControl = RTS_CONTROL_HANDSHAKE;
        machine.refuses_abort_on_error = c.refuses_abort_on_error;
        machine.line_errors = c.line_errors;
        machine.abort_after = c.abort_after;
        machine.takes_nothing = c.takes_nothing;
        machine.pulled_out = c.pulled_out;
        machine.input.assign(c.talk, 'x');
        name("COM5", static_cast<std::int32_t>(c.baud));
        ASSERT_EQ(named.operations->open(named), ports::port_ready) << ports::failure_reason();
        // 8N1 at the speed asked, flow control as found.
        const DCB& set = machine.applied;
        EXPECT_EQ(std::make_tuple(set.BaudRate, set.ByteSize, set.Parity, set.StopBits),
                  std::make_tuple(c.baud, BYTE{8}, BYTE{NOPARITY}, BYTE{ONESTOPBIT}));
        EXPECT_EQ(std::make_tuple(set.fOutX, set.fInX, set.fRtsControl, set.XonLim, set.XoffLim),
                  std::make_tuple(0U, 0U, DWORD{RTS_CONTROL_HANDSHAKE}, c.limit, c.limit));
        const long long started = machine.now;
        const std::uint8_t frame[] = {0xC0, 0x01, 0xC0};
        const ports::send_result result = named.operations->send(frame, sizeof frame);
        const bool sent = result == ports::frame_sent;
        EXPECT_EQ(result == ports::port_lost, c.pulled_out != 0);
        EXPECT_EQ(sent ? machine.octets : ports::failure_reason(),
                  c.pulled_out != 0 ? services::system_message(c.pulled_out) : c.written);
        EXPECT_LE(machine.now - started, c.within);
        EXPECT_EQ(machine.input, "");
        // A failed write discards what is unsent, so that closing does not wait on it.
        EXPECT_EQ(machine.purged, sent ? 0 : DWORD{PURGE_TXABORT | PURGE_TXCLEAR});
        named.operations->close();
    }
}

// A pause of a second on a serial port, to the millisecond, with the
// high-resolution timer and before it: it sleeps through, unless the TNC
// sends something, which is read at once.
TEST(Pause, EndsOnTimeAndWakesOnlyForTheTnc) {
    for (const bool high_resolution : {true, false}) {
        for (const long long talks_after : {-1LL, 300 * MS}) {
            machine = Machine{};
            machine.high_resolution = high_resolution;
            machine.found.DCBlength = sizeof(DCB);
            machine.found.XonChar = 0x11;
            name("COM5", 9600);
            app::prepare_process();
            ASSERT_EQ(named.operations->open(named), ports::port_ready);
            const long long started = machine.now;
            machine.talks_at = talks_after < 0 ? -1 : started + talks_after;
            machine.wakeups = 0;
            EXPECT_TRUE(app::pause_for(*named.operations, 1000));
            EXPECT_GE(machine.now - started, 1000 * MS);
            EXPECT_LE(machine.now - started, 1001 * MS) << high_resolution;
            EXPECT_EQ(machine.wakeups, talks_after < 0 ? 1 : 2);
            EXPECT_EQ(machine.input, "");
            named.operations->close();
        }
    }
}

// A TNC on TCP by its name, found after its lookup's time, whose addresses
// answer (0) or refuse, after Windows' retries: within the 5 s at the most.
struct TcpCase {
    const char* name;
    const char* tnc;  // HOST:PORT, in UTF-8
    long long lookup_takes;
    int addresses;
    long long settled_after[3];
    int outcome[3];
    const char* reason;  // nullptr: connected; "": refused
    long long within;
};
const int REFUSED = WSAECONNREFUSED;
// clang-format off
const TcpCase tcp_cases[] = {
    {"localhost, ::1 refused and 127.0.0.1 answering", "localhost:8001", 0, 2, {RETRIED, MS},
     {REFUSED, 0}, nullptr, 10 * MS},
    {"a name in Unicode, its three addresses refused", "tnc-s\xC3\xBC" "d.example:8001", MS, 3,
     {RETRIED, RETRIED, RETRIED}, {REFUSED, REFUSED, REFUSED}, "", RETRIED + 10 * MS},
    {"no answer", "LocalHost:8001", 0, 1, {60'000 * MS}, {0}, "no answer within 5 s", 5010 * MS},
    {"a lookup of 3 s counts against the 5 s", "local:8001", 3000 * MS, 1, {3000 * MS}, {0},
     "no answer within 5 s", 5010 * MS},
};
// clang-format on

void connect_to_tnc(const char* tnc, int addresses) {
    machine.addresses = addresses;
    name(tnc, 9600);
}

TEST(Tcp, ConnectsAsWinsockAnswers) {
    for (const TcpCase& c : tcp_cases) {
        SCOPED_TRACE(c.name);
        machine = Machine{};
        machine.lookup_takes = c.lookup_takes;
        std::memcpy(machine.settled_after, c.settled_after, sizeof c.settled_after);
        std::memcpy(machine.outcome, c.outcome, sizeof c.outcome);
        connect_to_tnc(c.tnc, c.addresses);
        const long long started = machine.now;
        const bool made = named.operations->open(named) == ports::port_ready;
        const bool refused = c.reason != nullptr && *c.reason == '\0';
        EXPECT_EQ(made ? "" : ports::failure_reason(),
                  std::string(refused    ? services::system_message(WSAECONNREFUSED)
                              : c.reason ? c.reason
                                         : ""));
        EXPECT_LE(machine.now - started, c.within);
        // localhost, in any case, is this machine: no name is looked up for it.
        const std::string host(c.tnc, std::strrchr(c.tnc, ':') - c.tnc);
        EXPECT_EQ(narrow(machine.host), _stricmp(host.c_str(), "localhost") == 0 ? "" : host);
        named.operations->close();
    }
}

// A TNC that reset the connection: recv fails with WSAECONNRESET (Wine's
// gives 0, as after the close that the winsock runner shows).
TEST(Tcp, ReportsATncThatResetTheConnection) {
    machine = Machine{};
    connect_to_tnc("localhost:8001", 1);
    ASSERT_EQ(named.operations->open(named), ports::port_ready);
    machine.reset = true;
    const std::uint8_t frame[] = {0xC0, 0x00, 0xC0};
    EXPECT_EQ(named.operations->send(frame, sizeof frame), ports::port_lost);
    EXPECT_STREQ(ports::failure_reason(), services::system_message(WSAECONNRESET));
    named.operations->close();
}

// A system message longer than any buffer of 256: in Russian, some 300
// UTF-16 units and 550 octets of UTF-8.
TEST(Messages, ShowsALongMessageWhole) {
    machine = Machine{};
    std::string wanted;
    for (int i = 0; i < 12; ++i) {
        machine.message += L"Время ожидания истекло; ";
        wanted += u8"Время ожидания истекло; ";
    }
    machine.message += L"повторите попытку.\r\n";
    EXPECT_EQ(services::system_message(LONG_MESSAGE), wanted + u8"повторите попытку");
}

// What a run shows, on a console window and redirected: an input line of
// UTF-8 with two octets that are none (0xC0 and 0xDB, which the console's
// code page 1252 shows as À and Û), lines ending CR LF; the console's own
// settings left as they are; control characters shown on a window only.
TEST(Console, WritesUtf16ToAWindowAndOctetsElsewhere) {
    for (const HANDLE output : {console, file}) {
        machine = Machine{};
        machine.output = output;
        app::prepare_process();
        app::open_console();
        const char* const text = "Sending frame:\n A>B:\xCE\xA9 \xC0\xDB\n\n";
        app::show_text(text, std::strlen(text));
        app::close_console();
        app::process_finished();
        EXPECT_EQ(output == console ? narrow(machine.shown) : machine.written,
                  output == console ? "Sending frame:\r\n A>B:\xCE\xA9 \xC3\x80\xC3\x9B\r\n\r\n"
                                    : "Sending frame:\r\n A>B:\xCE\xA9 \xC0\xDB\r\n\r\n");
        // An input line's escape sequence is shown to a window, not obeyed.
        char line[64];
        (void)app::shown_as_text("A>B:\x1B[2J\r\n", line);
        EXPECT_STREQ(line, output == console ? "A>B:<0x1B>[2J\r\n" : "A>B:\x1B[2J\r\n");
        EXPECT_FALSE(machine.code_page_set);
    }
}

// A console that stops reading while the run goes on: each message is kept
// for it at once, a megabyte of them, in order, and one line says how many
// were not.
TEST(Console, HoldsUpNothingWhenItStopsReading) {
    machine = Machine{};
    machine.output = console;
    machine.reading = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    app::open_console();
    const std::string line = std::string(1023, 'x') + "\n";
    for (int i = 0; i < 1025; ++i) {
        app::show_text(line.c_str(), line.size());
    }
    (void)SetEvent(machine.reading);
    app::close_console();
    const std::string shown = narrow(machine.shown);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), 'x'), 1024 * 1023);
    EXPECT_TRUE(ends_with(shown, "\r\nThe console was not reading: 1 message was not shown.\r\n"));
    machine.reading = nullptr;
}

// An input file at the end of a path longer than MAX_PATH opens, and one
// that cannot be opened is reported with Windows' reason.
TEST(Files, OpensALongPathAndSaysWhyNot) {
    wchar_t path[1024] = L"\\\\?\\";
    ASSERT_GT(GetTempPathW(512, path + 4), 0U);
    for (wchar_t c = L'a'; c <= L'c'; ++c) {
        std::wcscat(std::wcscat(path, c == L'a' ? L"" : L"\\"), std::wstring(100, c).c_str());
        (void)CreateDirectoryW(path, nullptr);
    }
    std::wcscat(path, L"\\frames.txt");
    std::FILE* const made = _wfopen(path, L"wb");
    ASSERT_NE(made, nullptr);
    (void)std::fputs("A>B:i\n", made);
    (void)std::fclose(made);
    char line[ax25::LINE_CAPACITY + 1] = "";
    EXPECT_TRUE(app::open_input(narrow(path + 4).c_str(), false) == app::input_open &&
                app::read_line(line) == app::line_read);
    EXPECT_STREQ(line, "A>B:i\n");
    app::close_input();
    machine = Machine{};
    machine.output = file;
    char* run[] = {const_cast<char*>("uipacer"), const_cast<char*>("C:\\no such\\frames.txt"),
                   const_cast<char*>("1"), const_cast<char*>("9600"), const_cast<char*>("1")};
    EXPECT_EQ(app::run_main(5, run), 1);
    EXPECT_TRUE(ends_with(machine.written,
                          "\r\nUnable to open input file C:\\no such\\frames.txt (" +
                              std::string(services::system_message(PATH_NOT_FOUND)) + ").\r\n"))
        << machine.written;
}

// A request to stop, in a process of its own (the first request is the one
// kept): during a pause, or while a TNC on TCP is being looked up or
// connected to, which it ends at once. Windows runs the handler on a thread
// of its own, ends the process when a closing handler returns, and ends it
// anyway 5 s later.
enum During { PAUSE, LOOKUP, CONNECT };
struct StopCase {
    DWORD event;
    const char* name;
    int status;
    During during;
};
const StopCase stop_cases[] = {
    {CTRL_C_EVENT, "Ctrl-C", 130, PAUSE},
    {CTRL_BREAK_EVENT, "Ctrl-Break", 149, PAUSE},
    {CTRL_CLOSE_EVENT, "closing the console", 143, PAUSE},
    {CTRL_LOGOFF_EVENT, "logging off", 143, PAUSE},
    {CTRL_SHUTDOWN_EVENT, "shutting down", 143, PAUSE},
    {CTRL_C_EVENT, "Ctrl-C", 130, LOOKUP},
    {CTRL_C_EVENT, "Ctrl-C", 130, CONNECT},
};

DWORD WINAPI run_handler(LPVOID stop) {
    const DWORD kind = static_cast<const StopCase*>(stop)->event;
    if (handler(kind) == FALSE || (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT)) {
        ExitProcess(ENDED_BY_WINDOWS);
    }
    return 0;
}

DWORD WINAPI windows_handling(LPVOID stop) {
    (void)CreateThread(nullptr, 0, run_handler, stop, 0, nullptr);
    const DWORD kind = static_cast<const StopCase*>(stop)->event;
    if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT) {
        Sleep(5000);
        ExitProcess(ENDED_BY_WINDOWS);
    }
    return 0;
}

// Ctrl-C a second into a lookup or a connect that would take 3 s.
bool opening_stopped(During during) {
    connect_to_tnc("localhost:8001", 1);
    machine.lookup_takes = during == LOOKUP ? 3000 * MS : 0;
    machine.settled_after[0] = 3000 * MS;
    machine.stop_at = machine.now + 1000 * MS;
    const long long started = machine.now;
    return named.operations->open(named) == ports::port_stopped &&
           machine.now - started <= 1001 * MS;
}

int stop_child(const StopCase& c) {
    name("COM5", 9600);
    app::prepare_process();
    if (c.during != PAUSE) {
        const bool stopped = opening_stopped(c.during);
        return stopped && std::strcmp(app::stop_request(), c.name) == 0 ? app::stop_status() : 1;
    }
    (void)CreateThread(nullptr, 0, windows_handling, const_cast<StopCase*>(&c), 0, nullptr);
    Sleep(100);
    // The run: the pause ends at once, the port is released, the process
    // ends with the status of the request; a returned handler would end it first.
    const bool went_on = app::pause_for(*named.operations, 60'000);
    const bool said =
        app::stop_request() != nullptr && std::strcmp(app::stop_request(), c.name) == 0;
    app::process_finished();
    Sleep(200);
    return !went_on && said ? app::stop_status() : 1;
}

int run_child(int index) {
    wchar_t program[MAX_PATH];
    (void)GetModuleFileNameW(nullptr, program, MAX_PATH);
    wchar_t command[MAX_PATH + 32];
    (void)std::swprintf(command, sizeof command / sizeof command[0], L"\"%ls\" --stop=%d", program,
                        index);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION child{};
    DWORD status = 0;
    if (CreateProcessW(program, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                       &child) != FALSE) {
        (void)REAL("kernel32", WaitForSingleObject)(child.hProcess, INFINITE);
        (void)GetExitCodeProcess(child.hProcess, &status);
    }
    return static_cast<int>(status);
}

TEST(Stop, EndsTheRunWithTheRequestsStatus) {
    for (int i = 0; i < static_cast<int>(sizeof stop_cases / sizeof stop_cases[0]); ++i) {
        EXPECT_EQ(run_child(i), stop_cases[i].status) << stop_cases[i].name << ' ' << i;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    port = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    timer = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    console = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    file = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (argc == 2 && std::wcsncmp(argv[1], L"--stop=", 7) == 0) {
        return stop_child(stop_cases[_wtoi(argv[1] + 7)]);
    }
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(print_time, false);  // the fake clock's time is no test's
    return RUN_ALL_TESTS();
}
