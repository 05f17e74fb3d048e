#pragma once

#include <cstddef>
#include <cstdint>

// The seam between the core and the port that takes the frames: a serial
// device or a KISS TNC on TCP, chosen at run time from the name the user
// gave. Each kind has a layer per platform behind it (serial_*, tcp_*);
// the tests link a fake port instead. Nothing behind it prints: a failure
// is kept, with the system's reason, for the caller to word.
namespace kiss {

// Room for any device path the system allows, and its terminating zero.
constexpr std::size_t PORT_NAME_CAPACITY = 4097;

enum port_kind {
    serial_port,  // "Com1" to "Com4", or a device name as the platform writes it
    tcp_port,     // HOST:PORT of a KISS TNC
};

// Set by the run before open_port: the port as the user named it (ComN
// for a number), its kind, and the line speed.
extern char port_name[PORT_NAME_CAPACITY];
extern port_kind port_type;
extern std::int32_t baud_rate;

// Whether text names a serial device in the platform's own way: a path on
// Linux, COMn or \\.\COMn on Windows.
bool is_device_name(const char* text);

enum open_result {
    port_ready,             // open, exclusive, raw 8N1 at baud_rate; or connected
    port_unavailable,       // missing, not permitted, held by another program, refused
    port_settings_refused,  // open, but the line settings did not take
};

open_result open_port();

// Hands one octet to the port within its budget; false on a write error, a
// hang-up, a closed connection or a port that takes nothing for that long.
// Unsent output is then discarded so that closing does not wait on it.
bool write_octet(std::uint8_t octet);

// Reads and discards whatever the TNC has sent (it passes on every frame it
// hears), without waiting: a full input queue must never stop the output.
void drain_input();

// Lets queued output go within its budget, then releases and closes the
// port; harmless when it is not open.
void close_port();

// Why the last open_port or write_octet failed, in the system's words.
const char* failure_reason();

}  // namespace kiss
