#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Octets as "C0 00 84 ...", the way frames are written in the tests.
inline std::string hex(const std::uint8_t* octets, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        char two[4];
        std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", octets[i]);
        text += two;
    }
    return text;
}
