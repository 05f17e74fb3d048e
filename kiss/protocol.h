#pragma once

#include <cstdint>

// KISS, as every TNC reads it: the special octets of its framing and the
// command octet that opens each frame.
namespace kiss {

constexpr std::uint8_t FEND = 0xC0;   // frame end: opens and closes every frame
constexpr std::uint8_t FESC = 0xDB;   // frame escape
constexpr std::uint8_t TFEND = 0xDC;  // after FESC: a data octet 0xC0
constexpr std::uint8_t TFESC = 0xDD;  // after FESC: a data octet 0xDB

// The command octet: the command in its low half, the TNC's port in its
// high half. A data frame for port 0 is 0x00.
constexpr std::uint8_t DATA_FRAME = 0x00;
constexpr std::uint8_t COMMAND_MASK = 0x0F;

}  // namespace kiss
