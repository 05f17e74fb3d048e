#pragma once

#include "kiss/kiss.h"

#include <cstddef>
#include <cstdint>

// What kissmon shows of the line it listens on: each frame as it ends,
// decoded into TNC2 monitor text, a TNC's parameter frame by name, or what
// is wrong with it; with hex, the octets as they came. What is not in a
// frame (what comes before the first FEND, such as an init text, or text
// between two frames) is shown as the text it is.
namespace monitor {

struct Line {
    kiss::Stream stream;
    // The frame's octets as they came off the line, escapes and all.
    std::uint8_t received[2 * kiss::READ_CAPACITY];
    std::size_t received_length;
    bool received_cut;
    bool opened;      // a FEND came before these octets
    bool shown_text;  // what was shown last was text, not a frame
};

void reset_line(Line& line);

// Room for what take() shows of the longest frame: each octet at most as
// "<0xNN>", and the octets as they came, each escaped, as " NN".
constexpr std::size_t SHOWN_CAPACITY = std::size_t{6 + 3 * 2} * kiss::READ_CAPACITY + 256;

// Takes the next octet from the line. When it ends a frame, writes into out
// what is shown of it, one or more lines each ending in a line feed, and
// returns their length; 0 while there is nothing to show.
std::size_t take(Line& line, std::uint8_t octet, bool hex, char* out, std::size_t capacity);

// At the end (a stop): what is shown of what the line left open, a frame
// cut short or a text; 0 when nothing was left.
std::size_t finish(Line& line, char* out, std::size_t capacity);

}  // namespace monitor
