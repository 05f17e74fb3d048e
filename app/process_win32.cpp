#include <windows.h>

#include "app/process.h"
#include "services/system_message_win32.h"
#include "services/wait.h"

#include <fcntl.h>
#include <io.h>

#include <csignal>
#include <cstdio>
#include <cwchar>

namespace app {

namespace {

struct Stop {
    DWORD event;
    const char* name;
    int status;  // 128 plus the C runtime's signal for the event
};
const Stop stops[] = {
    {CTRL_C_EVENT, "Ctrl-C", 128 + SIGINT},
    {CTRL_BREAK_EVENT, "Ctrl-Break", 128 + SIGBREAK},
    {CTRL_CLOSE_EVENT, "closing the console", 128 + SIGTERM},
    {CTRL_LOGOFF_EVENT, "logging off", 128 + SIGTERM},
    {CTRL_SHUTDOWN_EVENT, "shutting down", 128 + SIGTERM},
};

volatile LONG requested;   // 1 + the index in stops[] of the first request; 0 while none has come
const char* input_reason;  // why the input file could not be opened

const Stop* request() { return requested == 0 ? nullptr : &stops[requested - 1]; }

// Runs on a thread of its own that Windows starts for the event.
BOOL WINAPI note_stop(DWORD event) {
    for (LONG i = 0; i < static_cast<LONG>(sizeof stops / sizeof stops[0]); ++i) {
        if (stops[i].event != event) {
            continue;
        }
        (void)InterlockedCompareExchange(&requested, i + 1, 0);
        services::request_stop();
        if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
            // Windows ends the process as soon as this returns, or when its
            // own time-out runs out: never return, so that the run finishes
            // its frame, releases the port and exits with its own status.
            for (;;) {
                Sleep(INFINITE);
            }
        }
        return TRUE;
    }
    return FALSE;
}

}  // namespace

// Windows has no console descriptors for a file to take, and no SIGPIPE.
void prepare_process() {
    services::prepare_waits();
    (void)SetConsoleCtrlHandler(note_stop, TRUE);
}

// A path of MAX_PATH characters or more opens only in its \\?\ form, which
// only an absolute path has: C:\dir\file becomes \\?\C:\dir\file, and
// \\server\share\file \\?\UNC\server\share\file.
const wchar_t* long_form(const wchar_t* path) {
    constexpr DWORD ROOM = 32768;
    constexpr std::size_t PREFIX = 8;  // room for the longest prefix, "\\?\UNC", and more
    static wchar_t full[PREFIX + ROOM];
    const DWORD length = GetFullPathNameW(path, ROOM, full + PREFIX, nullptr);
    if (length == 0 || length >= ROOM) {
        return path;
    }
    const bool unc = std::wcsncmp(full + PREFIX, L"\\\\", 2) == 0;
    // For a UNC path the prefix takes the place of its first backslash.
    wchar_t* start = unc ? full + PREFIX + 1 - 7 : full + PREFIX - 4;
    std::wmemcpy(start, unc ? L"\\\\?\\UNC" : L"\\\\?\\", unc ? 7 : 4);
    return start;
}

std::FILE* open_input(const char* name) {
    static wchar_t wide_name[32768];  // the longest path Windows takes
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide_name,
                            sizeof wide_name / sizeof wide_name[0]) == 0) {
        input_reason = services::system_message(GetLastError());
        return nullptr;
    }
    const bool long_path =
        std::wcslen(wide_name) >= MAX_PATH && std::wcsncmp(wide_name, L"\\\\?\\", 4) != 0;
    const HANDLE file =
        CreateFileW(long_path ? long_form(wide_name) : wide_name, GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        input_reason = services::system_message(GetLastError());
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    return descriptor < 0 ? nullptr : _fdopen(descriptor, "rb");
}

const char* input_failure() { return input_reason; }

const char* stop_request() { return request() == nullptr ? nullptr : request()->name; }

int stop_status() { return request() == nullptr ? 0 : request()->status; }

void process_finished() { services::finish_waits(); }

}  // namespace app
