#pragma once

#include "ax25/protocol.h"

#include <cstddef>
#include <cstdint>

// Reading back what a KISS TNC receives: KISS frames out of the octet stream,
// and the AX.25 UI frame inside one, decoded strictly. Nothing here prints;
// a frame that breaks a rule comes back with the rule it breaks.
namespace monitor {

// Longest KISS frame kept, its command octet included; the sender's own
// longest frame is a little over 7 kB.
constexpr std::size_t KISS_CAPACITY = 8192;

struct KissStream {
    std::uint8_t frame[KISS_CAPACITY];
    std::size_t length;
    bool escaped;         // the last octet was FESC
    bool ended;           // the frame has been handed over; the next octet starts anew
    const char* problem;  // what is wrong with the frame so far, or nullptr
};

enum kiss_result {
    kiss_incomplete,  // nothing to show yet
    kiss_frame,       // frame[0 .. length) holds a whole frame, command octet first
    kiss_damaged,     // a frame ended that broke KISS's rules: problem says how
};

void reset_stream(KissStream& stream);

// Takes the next octet from the line. After kiss_frame or kiss_damaged the
// frame stays readable until the next octet is taken.
kiss_result take_octet(KissStream& stream, std::uint8_t octet);

struct Address {
    std::uint8_t callsign[ax25::CALLSIGN_LENGTH];  // characters, without the padding
    std::size_t callsign_length;
    unsigned ssid;
    bool flag;  // command/response bit; for a digipeater, has-been-repeated
};

struct Frame {
    Address destination;
    Address source;
    Address path[ax25::MAX_DIGIPEATERS];
    std::size_t path_count;
    const std::uint8_t* info;  // points into the decoded octets
    std::size_t info_length;
    bool complete;  // every field decoded, even if problem names a flaw
};

// Decodes an AX.25 frame (KISS command octet removed, no checksum). Returns
// nullptr for a sound UI frame, or what is off: a frame cut short, an
// address field without its end, more than 8 digipeaters, a control octet
// other than UI, a PID other than "no layer 3", or a callsign that AX.25
// does not allow (the only flaw after which complete is still true).
const char* decode_frame(const std::uint8_t* octets, std::size_t length, Frame& frame);

// A KISS command frame other than data (command octet first), as a line:
// "TXDELAY 300 ms", "PERSIST 63", "SLOTTIME 100 ms", "TXTAIL 30 ms",
// "FULLDUP 1", or "RETURN (out of KISS mode)". The TNC's port, when not 0,
// goes before it. nullptr for a command unknown, or of the wrong length.
const char* describe_command(const std::uint8_t* frame, std::size_t length);

// The frame as a line of TNC2 monitor text, SOURCE>DEST,PATH*:info, with
// every octet of the information outside printable ASCII shown as <0xNN>.
// Writes at most capacity octets, the terminating zero included; returns
// the length the whole line needs.
std::size_t format_tnc2(const Frame& frame, char* out, std::size_t capacity);

}  // namespace monitor
