#pragma once

// KISS framing of the frame the encoder left in ax25::frame_buffer.
namespace kiss {

// Sends FEND, entries 0 to frame_length - 1 with FEND and FESC escaped, and
// FEND, to the port as one frame; false when the port failed, and
// failure_reason() then says why.
bool transmit_frame();

}  // namespace kiss
