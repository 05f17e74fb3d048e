#pragma once

#include <cstddef>
#include <cstdint>

// Turns one line of TNC2 monitor text (SOURCE>DEST,PATH*:info) into an AX.25
// UI frame. The encoder never rejects a line: whatever the text holds, it
// walks it once with a fixed grammar and some frame results.
namespace ax25 {

// Longest line the reader hands over, without its terminating zero.
constexpr std::size_t LINE_CAPACITY = 1024;

// The longest frame a line can give: every character but the first can
// open a path entry of seven octets, so a line of 1024 commas encodes as the
// destination, the source, 1023 empty path entries, the control octet and
// the PID.
constexpr std::size_t FRAME_CAPACITY = 16 + 7 * (LINE_CAPACITY - 1);

// Encodes a zero-terminated line into frame and returns the frame's length;
// at most LINE_CAPACITY characters of it are read, so a longer text cannot
// write past the frame.
std::size_t encode_frame(const char* line, std::uint8_t (&frame)[FRAME_CAPACITY]);

}  // namespace ax25
