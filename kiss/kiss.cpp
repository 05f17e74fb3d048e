#include "kiss/kiss.h"

#include "ax25/encoder.h"
#include "kiss/port.h"
#include "kiss/protocol.h"

namespace kiss {

char port_name[PORT_NAME_CAPACITY];
port_kind port_type;
std::int32_t baud_rate;

namespace {

bool send_escaped(std::uint8_t octet) {
    switch (octet) {
    case FEND:
        return write_octet(FESC) && write_octet(TFEND);
    case FESC:
        return write_octet(FESC) && write_octet(TFESC);
    default:
        return write_octet(octet);
    }
}

}  // namespace

bool transmit_frame() {
    if (!write_octet(FEND)) {
        return false;
    }
    for (std::size_t i = 0; i < ax25::frame_length; ++i) {
        if (!send_escaped(ax25::frame_buffer[i])) {
            return false;
        }
    }
    return write_octet(FEND);
}

}  // namespace kiss
