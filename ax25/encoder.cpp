#include "ax25/encoder.h"

#include "ax25/protocol.h"

namespace ax25 {

namespace {

constexpr std::size_t DESTINATION_INDEX = 0;
constexpr std::size_t SOURCE_INDEX = 7;
constexpr std::size_t PATH_INDEX = 14;

// The line being encoded, up to one past its last character: its first
// zero, or LINE_CAPACITY characters in, whichever comes first. Every read of
// the text checks against the end before looking at a character.
struct Text {
    const char* p;
    const char* end;

    bool at_end() const { return p == end; }
    bool at(char c) const { return !at_end() && *p == c; }
    bool at_digit() const { return !at_end() && *p >= '0' && *p <= '9'; }
    std::uint8_t octet() const { return static_cast<std::uint8_t>(*p); }
    // Where the grammar expects a separator, one character is taken,
    // whatever it is; at the end of the text there is nothing to take.
    void step_over() { p += at_end() ? 0 : 1; }

    bool ends_callsign() const {
        return at_end() || *p == '-' || *p == ',' || *p == ':' || *p == '*' || *p == '>';
    }
};

// Writes one 7-octet address field (six callsign octets, then the SSID
// octet without its place's flag bits) into frame from entry s on, from
// the text, which it moves past what it consumed.
void encode_address(Text& text, std::uint8_t* frame, std::size_t s) {
    std::size_t copied = 0;
    for (; !text.ends_callsign() && copied < CALLSIGN_LENGTH; ++copied, ++text.p) {
        frame[s + copied] = static_cast<std::uint8_t>((text.octet() & 0x7F) << 1);
    }
    for (; copied < CALLSIGN_LENGTH; ++copied) {
        frame[s + copied] = PADDING;
    }
    unsigned ssid = 0;
    if (text.at('-')) {
        ++text.p;
        for (int digits = 0; digits < 2 && text.at_digit(); ++digits, ++text.p) {
            ssid = ssid * 10 + static_cast<unsigned>(*text.p - '0');
        }
    }
    // SSIDs above 15 wrap modulo 16: only bits 1-4 of the octet carry it.
    frame[s + CALLSIGN_LENGTH] = static_cast<std::uint8_t>((ssid << 1) & SSID_MASK);
}

// Copies the rest of the text into the frame from entry start on; returns
// the frame's length.
std::size_t append_info(Text& text, std::uint8_t* frame, std::size_t start) {
    std::size_t i = start;
    for (; !text.at_end(); ++text.p, ++i) {
        frame[i] = text.octet();
    }
    return i;
}

}  // namespace

std::size_t encode_frame(const char* line, std::uint8_t (&frame)[FRAME_CAPACITY]) {
    Text text{line, line};
    while (static_cast<std::size_t>(text.end - line) < LINE_CAPACITY && *text.end != '\0') {
        ++text.end;
    }

    encode_address(text, frame, SOURCE_INDEX);
    frame[SOURCE_INDEX + CALLSIGN_LENGTH] |= RESERVED_BITS;
    text.step_over();  // the '>'
    encode_address(text, frame, DESTINATION_INDEX);
    frame[DESTINATION_INDEX + CALLSIGN_LENGTH] |= COMMAND_BIT | RESERVED_BITS;

    // Each path entry consumes at least its leading separator, which is
    // what bounds the frame by FRAME_CAPACITY.
    std::size_t i = PATH_INDEX;
    while (!text.at_end() && !text.at(':')) {
        ++text.p;  // past the ',' or whatever stands there
        encode_address(text, frame, i);
        const std::size_t ssid_index = i + CALLSIGN_LENGTH;
        if (text.at('*')) {
            frame[ssid_index] |= REPEATED_BIT;
            ++text.p;
        }
        frame[ssid_index] |= RESERVED_BITS;
        i += ADDRESS_LENGTH;
    }
    text.step_over();  // the ':'

    frame[i - 1] |= LAST_ADDRESS_BIT;
    frame[i] = CONTROL_UI;
    frame[i + 1] = PID_NO_LAYER3;
    return append_info(text, frame, i + 2);
}

}  // namespace ax25
