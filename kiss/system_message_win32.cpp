#include "kiss/system_message_win32.h"

#include <cstdio>

namespace kiss {

void system_message(DWORD error, char* out, std::size_t capacity) {
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, out, static_cast<DWORD>(capacity), nullptr);
    std::size_t end = length;
    while (end > 0 && (out[end - 1] == '\r' || out[end - 1] == '\n' || out[end - 1] == ' ' ||
                       out[end - 1] == '.')) {
        --end;
    }
    if (end == 0) {
        (void)std::snprintf(out, capacity, "system error %lu", static_cast<unsigned long>(error));
    } else {
        out[end] = '\0';
    }
}

}  // namespace kiss
