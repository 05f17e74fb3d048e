#pragma once

#include "kiss/port.h"

// KISS framing of the frame the encoder left in ax25::frame_buffer.
namespace kiss {

// Sends FEND, entries 0 to frame_length - 1 with FEND and FESC escaped, and
// FEND, to the port as one frame; when the port fails, failure_reason() says
// why.
send_result transmit_frame();

// The TNC's port that every frame goes to, 0 to 15: the high half of each
// command octet.
extern std::uint8_t tnc_port;

// A command frame that sets one of the TNC's parameters to value, escaped as
// any frame is.
send_result transmit_parameter(std::uint8_t command, std::uint8_t value);

// The frame that takes the TNC out of KISS mode.
send_result transmit_return();

}  // namespace kiss
