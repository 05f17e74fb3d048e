#pragma once

#include <cstddef>
#include <cstdint>

// KISS framing, both ways: a frame for the TNC made into the octets that go
// on the line, and the octets that come off a line read back into frames.
namespace kiss {

// Room for the KISS frame of a payload of length octets: FEND, the command
// octet and every octet of the payload escaped, and FEND.
constexpr std::size_t wire_capacity(std::size_t length) noexcept { return 2 * (1 + length) + 2; }

// Writes into wire FEND, the command octet (the channel in its high half,
// command in its low half), each octet of the payload, every one of them
// with FEND and FESC escaped, and FEND; returns the octets written.
std::size_t frame(std::uint8_t channel, std::uint8_t command, const std::uint8_t* payload,
                  std::size_t length, std::uint8_t* wire);

// Writes the frame that takes the TNC out of KISS mode; returns its length.
std::size_t return_frame(std::uint8_t* wire);

// Longest frame read back, its command octet included; the longest that
// frame() makes of a line is a little over 7 kB.
constexpr std::size_t READ_CAPACITY = 8192;

struct Stream {
    std::uint8_t frame[READ_CAPACITY];
    std::size_t length;
    bool escaped;         // the last octet was FESC
    bool ended;           // the frame has been handed over; the next octet starts anew
    const char* problem;  // what is wrong with the frame so far, or nullptr
};

enum read_result {
    read_incomplete,  // nothing to show yet
    read_frame,       // frame[0 .. length) holds a whole frame, command octet first
    read_damaged,     // a frame ended that broke KISS's rules: problem says how
};

void reset_stream(Stream& stream);

// Takes the next octet from the line. After read_frame or read_damaged the
// frame stays readable until the next octet is taken.
read_result take_octet(Stream& stream, std::uint8_t octet);

}  // namespace kiss
