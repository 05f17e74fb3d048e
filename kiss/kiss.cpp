#include "kiss/kiss.h"

#include "kiss/protocol.h"

#include <cstdio>

namespace kiss {

namespace {

std::size_t put_escaped(std::uint8_t octet, std::uint8_t* wire) {
    switch (octet) {
    case FEND:
        wire[0] = FESC;
        wire[1] = TFEND;
        return 2;
    case FESC:
        wire[0] = FESC;
        wire[1] = TFESC;
        return 2;
    default:
        wire[0] = octet;
        return 1;
    }
}

char problem_text[64];

}  // namespace

std::size_t frame(std::uint8_t channel, std::uint8_t command, const std::uint8_t* payload,
                  std::size_t length, std::uint8_t* wire) {
    std::size_t at = 0;
    wire[at++] = FEND;
    at += put_escaped(
        static_cast<std::uint8_t>(channel << CHANNEL_SHIFT | (command & COMMAND_MASK)), wire + at);
    for (std::size_t i = 0; i < length; ++i) {
        at += put_escaped(payload[i], wire + at);
    }
    wire[at++] = FEND;
    return at;
}

std::size_t return_frame(std::uint8_t* wire) {
    wire[0] = FEND;
    wire[1] = RETURN;
    wire[2] = FEND;
    return 3;
}

void reset_stream(Stream& stream) {
    stream.length = 0;
    stream.escaped = false;
    stream.ended = false;
    stream.problem = nullptr;
}

read_result take_octet(Stream& stream, std::uint8_t octet) {
    if (stream.ended) {
        reset_stream(stream);
    }
    if (octet == FEND) {
        if (stream.escaped && stream.problem == nullptr) {
            stream.problem = "the frame ends right after FESC";
        }
        stream.escaped = false;
        if (stream.length == 0 && stream.problem == nullptr) {
            return read_incomplete;  // a FEND between frames, or a doubled one
        }
        stream.ended = true;
        return stream.problem == nullptr ? read_frame : read_damaged;
    }
    if (stream.escaped) {
        stream.escaped = false;
        if (octet == TFEND) {
            octet = FEND;
        } else if (octet == TFESC) {
            octet = FESC;
        } else if (stream.problem == nullptr) {
            (void)std::snprintf(problem_text, sizeof problem_text,
                                "FESC is followed by 0x%02X, not TFEND or TFESC", octet);
            stream.problem = problem_text;
        }
    } else if (octet == FESC) {
        stream.escaped = true;
        return read_incomplete;
    }
    if (stream.length < READ_CAPACITY) {
        stream.frame[stream.length++] = octet;
    } else if (stream.problem == nullptr) {
        (void)std::snprintf(problem_text, sizeof problem_text, "the frame is longer than %u octets",
                            unsigned(READ_CAPACITY));
        stream.problem = problem_text;
    }
    return read_incomplete;
}

}  // namespace kiss
