#include "services/system_message_win32.h"

#include <cstdio>

namespace services {

namespace {

// FormatMessage writes at most 64 KiB; each UTF-16 unit is at most three
// octets of UTF-8.
constexpr DWORD LONGEST_MESSAGE = 32'768;
wchar_t words[LONGEST_MESSAGE];
char text[3 * LONGEST_MESSAGE + 1];

}  // namespace

const char* system_message(DWORD error) {
    // In the user's language and whole, passed on in UTF-8 like everything
    // the console shows.
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, words, LONGEST_MESSAGE, nullptr);
    DWORD end = length;
    while (end > 0 && (words[end - 1] == L'\r' || words[end - 1] == L'\n' ||
                       words[end - 1] == L' ' || words[end - 1] == L'.')) {
        --end;
    }
    const int written = end == 0 ? 0
                                 : WideCharToMultiByte(CP_UTF8, 0, words, static_cast<int>(end),
                                                       text, sizeof text - 1, nullptr, nullptr);
    if (written == 0) {
        (void)std::snprintf(text, sizeof text, "system error %lu",
                            static_cast<unsigned long>(error));
    } else {
        text[written] = '\0';
    }
    return text;
}

}  // namespace services
