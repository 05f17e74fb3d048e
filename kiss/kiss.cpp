#include "kiss/kiss.h"

#include "ax25/encoder.h"
#include "kiss/port.h"
#include "kiss/protocol.h"

namespace kiss {

std::uint8_t tnc_port;

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

std::uint8_t command_octet(std::uint8_t command) {
    return static_cast<std::uint8_t>(tnc_port << PORT_SHIFT | (command & COMMAND_MASK));
}

}  // namespace

send_result transmit_frame() {
    wire_length = 0;
    put(FEND);
    put_escaped(command_octet(ax25::frame_buffer[0]));
    for (std::size_t i = 1; i < ax25::frame_length; ++i) {
        put_escaped(ax25::frame_buffer[i]);
    }
    put(FEND);
    return port->send(wire, wire_length);
}

send_result transmit_parameter(std::uint8_t command, std::uint8_t value) {
    wire_length = 0;
    put(FEND);
    put_escaped(command_octet(command));
    put_escaped(value);
    put(FEND);
    return port->send(wire, wire_length);
}

send_result transmit_return() {
    const std::uint8_t frame[] = {FEND, RETURN, FEND};
    return port->send(frame, sizeof frame);
}

}  // namespace kiss
