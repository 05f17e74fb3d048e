#pragma once

#include <cstdint>

// KISS, as every TNC reads it: the special octets of its framing and the
// command octet that opens each frame.
namespace kiss {

constexpr std::uint8_t FEND = 0xC0;   // frame end: opens and closes every frame
constexpr std::uint8_t FESC = 0xDB;   // frame escape
constexpr std::uint8_t TFEND = 0xDC;  // after FESC: a data octet 0xC0
constexpr std::uint8_t TFESC = 0xDD;  // after FESC: a data octet 0xDB

// The command octet: the command in its low half, the TNC's channel (its
// "KISS port") in its high half. A data frame for channel 0 is 0x00.
constexpr std::uint8_t DATA_FRAME = 0x00;
constexpr std::uint8_t COMMAND_MASK = 0x0F;
constexpr unsigned CHANNEL_SHIFT = 4;
constexpr unsigned CHANNELS = 16;

// The commands that set a TNC's parameters, each with one octet of value:
// TXDELAY, TX tail and slot time in units of 10 ms.
constexpr std::uint8_t TXDELAY = 1;
constexpr std::uint8_t PERSISTENCE = 2;
constexpr std::uint8_t SLOT_TIME = 3;
constexpr std::uint8_t TX_TAIL = 4;
constexpr std::uint8_t FULL_DUPLEX = 5;
constexpr unsigned PARAMETER_UNIT_MS = 10;
// The frame that takes a TNC out of KISS mode, whatever its channel: FEND,
// this command octet, FEND.
constexpr std::uint8_t RETURN = 0xFF;

}  // namespace kiss
