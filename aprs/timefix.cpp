#include "aprs/timefix.h"

#include <cstdio>
#include <cstring>

namespace aprs {

namespace {

bool digits(const char* text, int count) {
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') {  // the terminating zero is none either
            return false;
        }
    }
    return true;
}

// Two digits a field: the fields' values into text, without a terminator.
void put(char* text, int first, int second, int third, int fourth = -1) {
    char made[12];
    const int length =
        fourth < 0
            ? std::snprintf(made, sizeof made, "%02d%02d%02d", first, second, third)
            : std::snprintf(made, sizeof made, "%02d%02d%02d%02d", first, second, third, fourth);
    std::memcpy(text, made, static_cast<std::size_t>(length));
}

// A seven-character timestamp at text: DDHHMMz, DDHHMM/ or HHMMSSh; or,
// with only_zulu, DDHHMMz alone.
void fix_stamp(char* text, const std::tm& utc, const std::tm& local, bool only_zulu) {
    if (!digits(text, 6)) {
        return;
    }
    if (text[6] == 'z') {
        put(text, utc.tm_mday, utc.tm_hour, utc.tm_min);
    } else if (text[6] == '/' && !only_zulu) {
        put(text, local.tm_mday, local.tm_hour, local.tm_min);
    } else if (text[6] == 'h' && !only_zulu) {
        put(text, utc.tm_hour, utc.tm_min, utc.tm_sec);
    }
}

}  // namespace

void fix_time(char* line, std::time_t now) {
    char* info = std::strchr(line, ':');
    if (info == nullptr) {
        return;
    }
    ++info;
    // Copied at once: the library's own struct is shared by both calls, and
    // by no other thread of ours.
    const std::tm utc = *std::gmtime(&now);       // cppcheck-suppress gmtimeCalled
    const std::tm local = *std::localtime(&now);  // cppcheck-suppress localtimeCalled
    constexpr std::size_t OBJECT_NAME = 9;
    switch (info[0]) {
    case '/':
    case '@':
        fix_stamp(info + 1, utc, local, false);
        break;
    case ';':
        if (std::strlen(info) > OBJECT_NAME + 1 &&
            (info[1 + OBJECT_NAME] == '*' || info[1 + OBJECT_NAME] == '_')) {
            fix_stamp(info + 2 + OBJECT_NAME, utc, local, false);
        }
        break;
    case '>':
        fix_stamp(info + 1, utc, local, true);
        break;
    case '_':
        if (digits(info + 1, 8)) {
            put(info + 1, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min);
        }
        break;
    default:
        break;
    }
}

}  // namespace aprs
