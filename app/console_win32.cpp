#include <windows.h>

#include "app/console.h"

#include <cstring>

namespace app {

namespace {

// A console window is written in UTF-16, and its settings (its code page
// among them) belong to whoever shares it, so they are left as found: a run
// ended by Windows or by taskkill could not give them back.
char staging[16'384];  // what is being written, after the start of a cut character
std::size_t carried;   // the octets of a character that the last piece cut
wchar_t wide[sizeof staging];
std::size_t wide_length;

void (*thread_work)();
SRWLOCK console_lock = SRWLOCK_INIT;
CONDITION_VARIABLE console_moved = CONDITION_VARIABLE_INIT;

DWORD WINAPI run_writer(LPVOID /*unused*/) {
    thread_work();
    return 0;
}

bool flush(HANDLE console) {
    for (std::size_t done = 0; done < wide_length;) {
        DWORD written = 0;
        if (WriteConsoleW(console, wide + done, static_cast<DWORD>(wide_length - done), &written,
                          nullptr) == FALSE ||
            written == 0) {
            return false;
        }
        done += written;
    }
    wide_length = 0;
    return true;
}

// A run of octets in one code page, as UTF-16; octets that the code page
// cannot turn into characters are shown as U+FFFD. UTF-16 never needs more
// units than the octets, so the buffer has room for a whole staging.
void widen(UINT code_page, const char* octets, std::size_t count) {
    const int made =
        MultiByteToWideChar(code_page, 0, octets, static_cast<int>(count), wide + wide_length,
                            static_cast<int>(sizeof wide / sizeof wide[0] - wide_length));
    if (made > 0) {
        wide_length += static_cast<std::size_t>(made);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        wide[wide_length++] = 0xFFFD;
    }
}

// The staging as UTF-8 where it is, and otherwise as the console's own code
// page would show its octets: an input line is shown as the file holds it.
bool write_wide(HANDLE console, std::size_t filled) {
    const UINT code_page = GetConsoleOutputCP();
    const auto* octets = reinterpret_cast<const unsigned char*>(staging);
    for (std::size_t at = 0; at < filled;) {
        const bool valid = utf8_length(octets + at, filled - at) > 0;
        std::size_t end = at;
        for (int k = 0; end < filled && (k = utf8_length(octets + end, filled - end)) != -1 &&
                        (k > 0) == valid;) {
            end += valid ? static_cast<std::size_t>(k) : 1;
        }
        widen(valid ? CP_UTF8 : code_page, staging + at, end - at);
        if (end < filled && utf8_length(octets + end, filled - end) == -1) {
            carried = filled - end;  // the rest of it comes with the next piece
            std::memmove(staging, staging + end, carried);
            break;
        }
        at = end;
    }
    return flush(console);
}

bool write_octets(HANDLE file, std::size_t filled) {
    for (std::size_t done = 0; done < filled;) {
        DWORD written = 0;
        if (WriteFile(file, staging + done, static_cast<DWORD>(filled - done), &written, nullptr) ==
                FALSE ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace

// Each line ends in CR LF, as the C runtime writes text on Windows. A
// console window is written in UTF-16; redirected, the octets go as they are.
bool write_console(const char* text, std::size_t length) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(out, &mode) != FALSE;
    while (length > 0) {
        std::size_t filled = carried;
        carried = 0;
        for (; length > 0 && filled + 2 <= sizeof staging; ++text, --length) {
            if (*text == '\n') {
                staging[filled++] = '\r';
            }
            staging[filled++] = *text;
        }
        if (!(console ? write_wide(out, filled) : write_octets(out, filled))) {
            return false;
        }
    }
    return true;
}

bool console_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

bool start_writer(void (*writer)()) {
    thread_work = writer;
    const HANDLE thread = CreateThread(nullptr, 0, run_writer, nullptr, 0, nullptr);
    return thread != nullptr && CloseHandle(thread) != FALSE;
}

void lock_console() { AcquireSRWLockExclusive(&console_lock); }
void unlock_console() { ReleaseSRWLockExclusive(&console_lock); }
void wake_console() { WakeAllConditionVariable(&console_moved); }

void wait_console(int milliseconds) {
    const DWORD how_long = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    (void)SleepConditionVariableSRW(&console_moved, &console_lock, how_long, 0);
}

}  // namespace app
