#include <windows.h>

#include "app/input.h"
#include "services/system_message_win32.h"
#include "services/wait.h"

#include <cstring>
#include <cwchar>

namespace app {

namespace {

HANDLE source = INVALID_HANDLE_VALUE;
bool standard;                          // standard input, which is not ours to close
const char* reason;                     // why the input could not be opened
wchar_t wide_name[32768];               // the longest path Windows takes
const wchar_t* opened_as;               // the name as opened, in \\?\ form when long
HANDLE changes = INVALID_HANDLE_VALUE;  // news of the file's folder, when followed
BY_HANDLE_FILE_INFORMATION identity;    // of the file open
// The file's first octets as read: a file written over in place (truncated
// and written again, perhaps longer than before, before we looked) begins
// otherwise, and is read again from its start.
std::uint8_t head[256];
std::size_t head_length;

long long position() {
    LARGE_INTEGER at{};
    const LARGE_INTEGER none{};
    return SetFilePointerEx(source, none, &at, FILE_CURRENT) == FALSE ? -1 : at.QuadPart;
}

// Reads the file's first octets, and goes back to where it was.
bool rewritten() {
    const long long at = position();
    OVERLAPPED from_start{};
    std::uint8_t now[sizeof head];
    DWORD got = 0;
    const bool same =
        ReadFile(source, now, static_cast<DWORD>(head_length), &got, &from_start) != FALSE &&
        got == head_length && std::memcmp(now, head, head_length) == 0;
    LARGE_INTEGER back{};
    back.QuadPart = at;
    (void)SetFilePointerEx(source, back, nullptr, FILE_BEGIN);
    return !same;
}

// A pipe or a console cannot be waited on together with a stop, so a
// thread of its own reads it, and the run waits on its event.
struct Reader {
    SRWLOCK lock = SRWLOCK_INIT;
    HANDLE news = nullptr;  // set while there is something to take
    std::uint8_t octets[4096];
    std::size_t count;
    bool ended;
    bool failed;
} reader;

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

// Shared with every other program, so that a writer can go on writing,
// truncate, or rename a new file over its name.
HANDLE open_by_name() {
    return CreateFileW(opened_as, GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

DWORD WINAPI read_on(LPVOID /*unused*/) {
    std::uint8_t chunk[sizeof reader.octets];
    for (;;) {
        DWORD got = 0;
        const BOOL read = ReadFile(source, chunk, sizeof chunk, &got, nullptr);
        AcquireSRWLockExclusive(&reader.lock);
        // A console's line of Ctrl-Z alone ends it, as it ends any
        // program's console input; a pipe ends when its writer has gone.
        const bool console_end = got == 3 && std::memcmp(chunk, "\x1A\r\n", 3) == 0;
        reader.ended = read == FALSE || got == 0 || console_end;
        reader.failed = read == FALSE && GetLastError() != ERROR_BROKEN_PIPE;
        for (DWORD i = 0; !console_end && i < got; ++i) {  // it waits while the run is behind
            while (reader.count == sizeof reader.octets) {
                ReleaseSRWLockExclusive(&reader.lock);
                Sleep(10);
                AcquireSRWLockExclusive(&reader.lock);
            }
            reader.octets[reader.count++] = chunk[i];
        }
        (void)SetEvent(reader.news);
        const bool ended = reader.ended;
        ReleaseSRWLockExclusive(&reader.lock);
        if (ended) {
            return 0;
        }
    }
}

long read_from_reader(std::uint8_t* into, std::size_t capacity) {
    for (;;) {
        AcquireSRWLockExclusive(&reader.lock);
        const std::size_t n = reader.count < capacity ? reader.count : capacity;
        std::memcpy(into, reader.octets, n);
        std::memmove(reader.octets, reader.octets + n, reader.count - n);
        reader.count -= n;
        const bool ended = reader.ended;
        const bool failed = reader.failed;
        if (reader.count == 0 && !ended) {
            (void)ResetEvent(reader.news);
        }
        ReleaseSRWLockExclusive(&reader.lock);
        if (n > 0 || ended) {
            return n > 0 ? static_cast<long>(n) : failed ? READ_FAILED : 0;
        }
        if (!services::wait_until(services::NO_DEADLINE, reader.news)) {
            return READ_STOPPED;
        }
    }
}

// Replaced: the name now names another file, which is opened in its place.
bool reopened_if_replaced() {
    const HANDLE named = open_by_name();
    BY_HANDLE_FILE_INFORMATION now{};
    const bool replaced = named != INVALID_HANDLE_VALUE &&
                          GetFileInformationByHandle(named, &now) != FALSE &&
                          (now.nFileIndexHigh != identity.nFileIndexHigh ||
                           now.nFileIndexLow != identity.nFileIndexLow ||
                           now.dwVolumeSerialNumber != identity.dwVolumeSerialNumber);
    if (replaced) {
        (void)CloseHandle(source);
        source = named;
        identity = now;
        head_length = 0;
    } else if (named != INVALID_HANDLE_VALUE) {
        (void)CloseHandle(named);
    }
    return replaced;
}

}  // namespace

const char* input_failure() { return reason; }

input_opened open_source(const char* name) {
    standard = std::strcmp(name, "-") == 0;
    if (standard) {
        source = GetStdHandle(STD_INPUT_HANDLE);
    } else if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide_name,
                                   sizeof wide_name / sizeof wide_name[0]) == 0) {
        reason = services::system_message(GetLastError());
        return input_missing;
    } else {
        const bool long_path =
            std::wcslen(wide_name) >= MAX_PATH && std::wcsncmp(wide_name, L"\\\\?\\", 4) != 0;
        opened_as = long_path ? long_form(wide_name) : wide_name;
        source = open_by_name();
    }
    if (source == INVALID_HANDLE_VALUE || source == nullptr) {
        reason = services::system_message(GetLastError());
        return input_missing;
    }
    reader.count = 0;
    reader.ended = reader.failed = false;
    if (GetFileType(source) != FILE_TYPE_DISK) {
        reader.news =
            reader.news == nullptr ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : reader.news;
        const HANDLE thread = CreateThread(nullptr, 0, read_on, nullptr, 0, nullptr);
        if (reader.news == nullptr || thread == nullptr) {
            reason = services::system_message(GetLastError());
            return input_missing;
        }
        (void)CloseHandle(thread);
    }
    (void)GetFileInformationByHandle(source, &identity);
    head_length = 0;
    return input_open;
}

long read_input(std::uint8_t* into, std::size_t capacity) {
    if (GetFileType(source) != FILE_TYPE_DISK) {
        return read_from_reader(into, capacity);
    }
    DWORD got = 0;
    const DWORD wanted = capacity < 65536 ? static_cast<DWORD>(capacity) : 65536;
    const long long at = position();
    if (ReadFile(source, into, wanted, &got, nullptr) == FALSE) {
        return READ_FAILED;
    }
    if (at == static_cast<long long>(head_length) && head_length < sizeof head) {
        const std::size_t kept = sizeof head - head_length < got ? sizeof head - head_length : got;
        std::memcpy(head + head_length, into, kept);
        head_length += kept;
    }
    return static_cast<long>(got);
}

// Windows tells of changes in a folder, not in a file: each news of the
// file's folder is looked at, and the wait goes on until it concerns the
// file. Between news the run sleeps.
long wait_for_more() {
    if (changes == INVALID_HANDLE_VALUE) {
        wchar_t folder[32768];
        wchar_t* file_part = nullptr;
        const DWORD length = GetFullPathNameW(opened_as, 32768, folder, &file_part);
        if (length == 0 || length >= 32768 || file_part == nullptr) {
            return READ_FAILED;
        }
        *file_part = L'\0';
        changes = FindFirstChangeNotificationW(
            folder, FALSE,
            FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
        if (changes == INVALID_HANDLE_VALUE) {
            return READ_FAILED;
        }
    }
    for (;;) {
        if (reopened_if_replaced()) {
            return SOURCE_RESTARTED;
        }
        LARGE_INTEGER size{};
        const long long at = position();
        if (GetFileSizeEx(source, &size) == FALSE || at < 0) {
            return READ_FAILED;
        }
        if (size.QuadPart < at || rewritten()) {
            const LARGE_INTEGER start{};
            head_length = 0;
            return SetFilePointerEx(source, start, nullptr, FILE_BEGIN) == FALSE ? READ_FAILED
                                                                                 : SOURCE_RESTARTED;
        }
        if (size.QuadPart > at) {
            return SOURCE_GREW;
        }
        if (!services::wait_until(services::NO_DEADLINE, changes)) {
            return READ_STOPPED;
        }
        (void)FindNextChangeNotification(changes);
    }
}

void close_source() {
    if (source != INVALID_HANDLE_VALUE && !standard && GetFileType(source) == FILE_TYPE_DISK) {
        (void)CloseHandle(source);  // read only: nothing can be lost
    }
    source = INVALID_HANDLE_VALUE;
    if (changes != INVALID_HANDLE_VALUE) {
        (void)FindCloseChangeNotification(changes);
        changes = INVALID_HANDLE_VALUE;
    }
}

}  // namespace app
