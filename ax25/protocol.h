#pragma once

#include <cstddef>
#include <cstdint>

// AX.25 address fields and UI frames, as both the encoder and the monitor's
// decoder see them.
namespace ax25 {

constexpr std::size_t CALLSIGN_LENGTH = 6;  // characters, each shifted left by one
constexpr std::size_t ADDRESS_LENGTH = 7;   // the callsign, then the SSID octet
constexpr std::size_t MAX_DIGIPEATERS = 8;
constexpr std::size_t MAX_INFO = 256;  // octets of information a TNC passes on (N1)

constexpr std::uint8_t PADDING = 0x40;    // a space, shifted left by one
constexpr std::uint8_t SSID_MASK = 0x1E;  // the SSID in bits 1-4 of its octet
// In the SSID octet: bit 7 is the command bit of the destination and the
// has-been-repeated bit of a digipeater; bits 5 and 6 are reserved and set;
// bit 0 ends the address field.
constexpr std::uint8_t COMMAND_BIT = 0x80;
constexpr std::uint8_t REPEATED_BIT = 0x80;
constexpr std::uint8_t RESERVED_BITS = 0x60;
constexpr std::uint8_t LAST_ADDRESS_BIT = 0x01;

constexpr std::uint8_t CONTROL_UI = 0x03;     // unnumbered information
constexpr std::uint8_t PID_NO_LAYER3 = 0xF0;  // no layer 3 protocol

}  // namespace ax25
