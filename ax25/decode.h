#pragma once

#include "ax25/protocol.h"

#include <cstddef>
#include <cstdint>

// Reading an AX.25 UI frame back, strictly. Nothing here prints; a frame
// that breaks a rule comes back with the rule it breaks.
namespace ax25 {

struct Address {
    std::uint8_t callsign[CALLSIGN_LENGTH];  // characters, without the padding
    std::size_t callsign_length;
    unsigned ssid;
    bool flag;  // command/response bit; for a digipeater, has-been-repeated
};

struct Frame {
    Address destination;
    Address source;
    Address path[MAX_DIGIPEATERS];
    std::size_t path_count;
    const std::uint8_t* info;  // points into the decoded octets
    std::size_t info_length;
    bool complete;  // every field decoded, even if problem names a flaw
};

// Decodes an AX.25 frame (no checksum). Returns nullptr for a sound UI
// frame, or what is off: a frame cut short, an address field without its
// end, more than 8 digipeaters, a control octet other than UI, a PID other
// than "no layer 3", or a flaw after which complete is still true: a
// callsign that AX.25 does not allow, or more information than a TNC passes
// on.
const char* decode_frame(const std::uint8_t* octets, std::size_t length, Frame& frame);

// The frame as a line of TNC2 monitor text, SOURCE>DEST,PATH*:info, with
// every octet of the information outside printable ASCII shown as <0xNN>.
// Writes at most capacity octets, the terminating zero included; returns
// the length the whole line needs.
std::size_t format_tnc2(const Frame& frame, char* out, std::size_t capacity);

// Text shown as format_tnc2 shows information: octets outside printable
// ASCII as <0xNN>; the same room and result.
std::size_t format_text(const std::uint8_t* text, std::size_t length, char* out,
                        std::size_t capacity);

}  // namespace ax25
