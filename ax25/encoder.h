#pragma once

#include <cstddef>
#include <cstdint>

// Turns one line of TNC2 monitor text (SOURCE>DEST,PATH*:info) into a KISS
// data frame holding an AX.25 UI frame. The encoder never rejects a line:
// whatever the text holds, it walks it once with a fixed grammar and some
// frame results.
namespace ax25 {

// Longest line the reader hands over, without its terminating zero.
constexpr std::size_t LINE_CAPACITY = 1024;

// The longest frame a line can give: every character but the first can
// open a path entry of seven octets, so a line of 1024 commas encodes as
// 1023 empty path entries, 17 + 7 * 1023 entries and a terminator.
constexpr std::size_t FRAME_CAPACITY = 17 + 7 * (LINE_CAPACITY - 1) + 1;

// Entry 0 is the KISS command octet (0x00), the AX.25 frame follows;
// entry frame_length holds a 0 that is not sent.
extern std::uint8_t frame_buffer[FRAME_CAPACITY];
extern std::size_t frame_length;

void clear_frame();

// Writes one 7-octet address field (six callsign octets, then the SSID
// octet without its place's flag bits) into entries s to s + 6 from the text
// at p; returns the position just after what it consumed.
const char* encode_address(const char* p, std::size_t s);

// Copies the rest of the text from p into the frame from entry start on,
// writes the terminating 0 and returns its index.
std::size_t append_info(std::size_t start, const char* p);

// Encodes a zero-terminated line; at most LINE_CAPACITY characters of it are
// read, so a longer text cannot write past the buffer.
void encode_frame(const char* line);

}  // namespace ax25
