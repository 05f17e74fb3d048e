#pragma once

#include <cstddef>
#include <cstdint>

// The seam between the core and the port that takes the frames: a serial
// device or a KISS TNC on TCP. Which of them is settled once, when the port
// is named: its table of operations is chosen then, and every later call
// goes through that table. Nothing behind it prints: a failure is kept, in
// the system's words, for the run to word its message.
namespace kiss {

// Room for any device path the system allows, and its terminating zero.
constexpr std::size_t PORT_NAME_CAPACITY = 4097;

// An octet is given 60 ms to be handed over at the least; on TCP a frame is
// given that much for each of its octets.
constexpr long long MINIMUM_OCTET_BUDGET_US = 60'000;

// The port as the user named it ("ComN" for a number) and the line speed,
// set by the run before it opens the port.
extern char port_name[PORT_NAME_CAPACITY];
extern std::int32_t baud_rate;

enum open_result {
    port_ready,             // open, exclusive, raw 8N1 at baud_rate; or connected
    port_missing,           // no such device (yet), or no TNC answering: it may come
    port_unavailable,       // not permitted, held by another program, not a terminal
    port_settings_refused,  // open, but the line settings did not take
    port_stopped,           // a stop was requested while it was being opened
};

enum send_result {
    frame_sent,
    port_lost,    // the device is gone, or the TNC ended the connection
    send_failed,  // a write error, or a port that took nothing within its budget
};

struct PortOperations {
    open_result (*open)();
    // Hands over one whole KISS frame, or any octets: a serial line takes
    // them octet by octet, each within its budget; TCP in one send. When it
    // fails, what is unsent is discarded, so that closing does not wait on it.
    send_result (*send)(const std::uint8_t* frame, std::size_t length);
    // Waits until the TNC sends something, a stop is requested, or the
    // deadline; false once a stop has been requested.
    bool (*wait_input)(long long deadline_us);
    // Reads and discards what the TNC has sent (it passes on every frame it
    // hears), without waiting: a full input queue must never stop the output.
    void (*drain)();
    // Lets queued output go within its budget, then releases and closes the
    // port; harmless when it is not open.
    void (*close)();
};

extern const PortOperations serial_port;  // serial_posix.cpp, serial_win32.cpp
extern const PortOperations tcp_port;     // tcp.cpp
// The operations of the port named; nullptr until then.
extern const PortOperations* port;

// Whether text names a serial device in the platform's own way: a path on
// Linux, COMn or \\.\COMn on Windows.
bool is_device_name(const char* text);

// HOST:PORT, the host perhaps in brackets ([::1]:8001), split. host is
// nullptr for localhost, which is this machine even where no hosts file says
// so (with no name, the lookup gives the loopback addresses).
struct TncAddress {
    char text[PORT_NAME_CAPACITY];
    const char* host;
    const char* service;
};

// Whether text is HOST:PORT: a decimal port 1 to 65535 after the last ':',
// and something before it. If so, and address is given, fills it in.
bool parse_tnc_address(const char* text, TncAddress* address);

// The most an octet may wait to be handed over to a serial line: 50 ms and
// the time the line needs for the octets ahead of it that the UART must
// send first (ten bits each at baud_rate), and never less than the minimum.
// With one ahead, 60 ms from 1200 Bd up and about 141 ms at 110 Bd: a UART
// that takes an octet only once it has sent the one before would otherwise
// fail the second octet of every frame at 110 Bd.
long long octet_budget_us(int octets_ahead);

// A frame handed to a serial line: each octet by write_octet, within its own
// budget, up to the first that fails.
send_result send_octets(const std::uint8_t* frame, std::size_t length,
                        send_result (*write_octet)(std::uint8_t));

// Why the last open or send failed, in the system's words; kept by the
// layer where it failed, before anything else can change it.
const char* failure_reason();
void keep_failure(const char* why);
void keep_failure(const char* where, const char* why);  // "where: why"
// Why a serial line failed that took no octet within budget_us.
const char* stalled_line(long long budget_us);

}  // namespace kiss
