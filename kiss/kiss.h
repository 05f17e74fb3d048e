#pragma once

#include <cstdint>

// KISS framing of the frame the encoder left in ax25::frame_buffer.
namespace kiss {

constexpr std::uint8_t FEND = 0xC0;   // frame end: opens and closes every frame
constexpr std::uint8_t FESC = 0xDB;   // frame escape
constexpr std::uint8_t TFEND = 0xDC;  // after FESC: a data octet 0xC0
constexpr std::uint8_t TFESC = 0xDD;  // after FESC: a data octet 0xDB

// Sends FEND, entries 0 to frame_length - 1 with FEND and FESC escaped, and
// FEND, one write_octet per octet. Stops at the first write that fails and
// returns false; failure_reason() then says why.
bool transmit_frame();

}  // namespace kiss
