#include "ax25/encoder.h"

#include "ax25/protocol.h"
#include "kiss/protocol.h"

#include <cstring>

namespace ax25 {

std::uint8_t frame_buffer[FRAME_CAPACITY];
std::size_t frame_length;

namespace {

constexpr std::size_t DESTINATION_INDEX = 1;  // after the KISS command octet
constexpr std::size_t SOURCE_INDEX = 8;
constexpr std::size_t PATH_INDEX = 15;

// One past the last character of the line being encoded: its first zero,
// or LINE_CAPACITY characters in, whichever comes first. Every read of the
// text checks against it before looking at a character.
const char* text_end;

bool at_end(const char* p) { return p == text_end; }

bool ends_callsign(const char* p) {
    if (at_end(p)) {
        return true;
    }
    switch (*p) {
    case '-':
    case ',':
    case ':':
    case '*':
    case '>':
        return true;
    default:
        return false;
    }
}

bool at_digit(const char* p) { return !at_end(p) && *p >= '0' && *p <= '9'; }

// Where the grammar expects a separator, one character is taken, whatever
// it is; at the end of the text there is nothing to take.
const char* step_over(const char* p) { return at_end(p) ? p : p + 1; }

std::uint8_t octet_at(const char* p) { return static_cast<std::uint8_t>(*p); }

}  // namespace

void clear_frame() { std::memset(frame_buffer, 0, sizeof frame_buffer); }

const char* encode_address(const char* p, std::size_t s) {
    std::size_t copied = 0;
    while (!ends_callsign(p) && copied < CALLSIGN_LENGTH) {
        frame_buffer[s + copied] = static_cast<std::uint8_t>((octet_at(p) & 0x7F) << 1);
        ++copied;
        ++p;
    }
    for (; copied < CALLSIGN_LENGTH; ++copied) {
        frame_buffer[s + copied] = PADDING;
    }

    unsigned ssid = 0;
    if (!at_end(p) && *p == '-') {
        ++p;
        for (int digits = 0; digits < 2 && at_digit(p); ++digits, ++p) {
            ssid = ssid * 10 + static_cast<unsigned>(*p - '0');
        }
    }
    // SSIDs above 15 wrap modulo 16: only bits 1-4 of the octet carry it.
    frame_buffer[s + CALLSIGN_LENGTH] = static_cast<std::uint8_t>((ssid << 1) & SSID_MASK);
    return p;
}

std::size_t append_info(std::size_t start, const char* p) {
    std::size_t i = start;
    for (; !at_end(p); ++p, ++i) {
        frame_buffer[i] = octet_at(p);
    }
    frame_buffer[i] = 0;
    return i;
}

void encode_frame(const char* line) {
    clear_frame();
    frame_buffer[0] = kiss::DATA_FRAME;
    text_end = line;
    while (static_cast<std::size_t>(text_end - line) < LINE_CAPACITY && *text_end != '\0') {
        ++text_end;
    }

    const char* p = encode_address(line, SOURCE_INDEX);
    frame_buffer[SOURCE_INDEX + CALLSIGN_LENGTH] |= RESERVED_BITS;
    p = step_over(p);  // the '>'
    p = encode_address(p, DESTINATION_INDEX);
    frame_buffer[DESTINATION_INDEX + CALLSIGN_LENGTH] |= COMMAND_BIT | RESERVED_BITS;

    // Each path entry consumes at least its leading separator, which is
    // what bounds the frame by FRAME_CAPACITY.
    std::size_t i = PATH_INDEX;
    while (!at_end(p) && *p != ':') {
        p = encode_address(p + 1, i);  // past the ',' or whatever stands there
        const std::size_t ssid_index = i + CALLSIGN_LENGTH;
        if (!at_end(p) && *p == '*') {
            frame_buffer[ssid_index] |= REPEATED_BIT;
            ++p;
        }
        frame_buffer[ssid_index] |= RESERVED_BITS;
        i += ADDRESS_LENGTH;
    }
    p = step_over(p);  // the ':'

    frame_buffer[i - 1] |= LAST_ADDRESS_BIT;
    frame_buffer[i] = CONTROL_UI;
    frame_buffer[i + 1] = PID_NO_LAYER3;
    frame_length = append_info(i + 2, p);
}

}  // namespace ax25
