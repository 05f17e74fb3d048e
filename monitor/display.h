#pragma once

#include "kiss/kiss.h"

#include <cstddef>
#include <cstdint>

// What kissmon shows of the line it listens on: each frame as it ends,
// decoded into TNC2 monitor text, a TNC's parameter frame by name, or what
// is wrong with it; with hex, the octets as they came.
namespace monitor {

struct Line {
    kiss::Stream stream;
    // The frame's octets as they came off the line, escapes and all.
    std::uint8_t received[2 * kiss::READ_CAPACITY];
    std::size_t received_length;
    bool received_cut;
};

void reset_line(Line& line);

// Room for what take() shows of the longest frame: each octet at most as
// "<0xNN>", and the octets as they came, each escaped, as " NN".
constexpr std::size_t SHOWN_CAPACITY = std::size_t{6 + 3 * 2} * kiss::READ_CAPACITY + 256;

// Takes the next octet from the line. When it ends a frame, writes into out
// what is shown of it, one or more lines each ending in a line feed, and
// returns their length; 0 while there is nothing to show.
std::size_t take(Line& line, std::uint8_t octet, bool hex, char* out, std::size_t capacity);

}  // namespace monitor
