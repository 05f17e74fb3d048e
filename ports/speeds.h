#pragma once

#include <cstring>

// The line speeds a user may give, compared as exact texts, in this order;
// the program and kissmon check a speed the same way.
namespace ports {

constexpr const char* accepted_baud_rates[] = {
    "110",  "300",   "600",   "1200",  "2400",  "4800",   "7200",
    "9600", "14400", "19200", "38400", "57600", "115200",
};

// 1 when text is one of the accepted speeds exactly, byte for byte, else 0.
inline int check_baud_rate(const char* text) {
    for (const char* accepted : accepted_baud_rates) {
        if (std::strcmp(text, accepted) == 0) {
            return 1;
        }
    }
    return 0;
}

}  // namespace ports
