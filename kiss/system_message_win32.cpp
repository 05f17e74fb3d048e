#include "kiss/system_message_win32.h"

#include <cstdio>

namespace kiss {

const char* system_message(DWORD error) {
    // In the user's language, passed on in UTF-8 like everything the console
    // shows: the ANSI code page would garble it on a console showing another.
    static wchar_t words[256];
    static char text[3 * sizeof words / sizeof words[0]];
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, words, sizeof words / sizeof words[0], nullptr);
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

}  // namespace kiss
