#pragma once

#include <cstddef>
#include <cstdint>

// The seam to the platform's serial device. Each platform implements it in
// a serial_* file of its own; the tests link a fake serial layer.
// Nothing behind it prints: a failure is kept, with the system's reason, for
// the caller to word.
namespace kiss {

constexpr std::size_t PORT_NAME_CAPACITY = 16;

// Set by the run before open_port: "Com1" to "Com4", and the line speed.
extern char port_name[PORT_NAME_CAPACITY];
extern std::int32_t baud_rate;

enum open_result {
    port_ready,             // open, exclusive, raw 8N1 at baud_rate
    port_unavailable,       // missing, not permitted, or held by another program
    port_settings_refused,  // open, but the line settings did not take
};

// Opens the device that port_name maps to and configures it.
open_result open_port();

// Hands one octet to the device within 60 ms; false on a write error, a
// hang-up or a device that takes nothing for that long. Unsent output is
// then discarded so that closing does not wait on a stalled line.
bool write_octet(std::uint8_t octet);

// Releases and closes the device; harmless when it is not open.
void close_port();

// Why the last open_port or write_octet failed, in the system's words: on
// Linux with the device, such as "/dev/ttyS0: No such file or directory";
// on Windows, where the port's name is the device, such as "Access is
// denied".
const char* failure_reason();

}  // namespace kiss
