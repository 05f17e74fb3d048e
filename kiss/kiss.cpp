#include "kiss/kiss.h"

#include "ax25/encoder.h"
#include "kiss/port.h"
#include "kiss/protocol.h"

namespace kiss {

namespace {

// The longest frame with every octet escaped, and its two FENDs.
std::uint8_t wire[2 * ax25::FRAME_CAPACITY + 2];
std::size_t wire_length;

void put(std::uint8_t octet) { wire[wire_length++] = octet; }

void put_escaped(std::uint8_t octet) {
    switch (octet) {
    case FEND:
        put(FESC);
        put(TFEND);
        break;
    case FESC:
        put(FESC);
        put(TFESC);
        break;
    default:
        put(octet);
    }
}

}  // namespace

bool transmit_frame() {
    wire_length = 0;
    put(FEND);
    for (std::size_t i = 0; i < ax25::frame_length; ++i) {
        put_escaped(ax25::frame_buffer[i]);
    }
    put(FEND);
    return port->send(wire, wire_length);
}

}  // namespace kiss
