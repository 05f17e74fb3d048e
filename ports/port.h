#pragma once

#include <cstddef>
#include <cstdint>

// The seam between the run and the port that takes the frames: a serial
// device or a KISS TNC on TCP. Which of them is settled once, when the port
// is named: its table of operations is chosen then, with what it is to open,
// and every later call goes through that table. Nothing behind it prints: a
// failure is kept, in the system's words, for the run to word its message.
namespace ports {

// Room for any device path the system allows, and its terminating zero.
constexpr std::size_t NAME_CAPACITY = 4097;

enum open_result {
    port_ready,             // open, exclusive, raw 8N1 at the speed; or connected
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

// HOST:PORT, split once; host is nullptr for localhost, which is this
// machine even where no hosts file says so (with no name, the lookup gives
// the loopback addresses).
struct TncAddress {
    char text[NAME_CAPACITY];
    const char* host;
    const char* service;
};

struct PortOperations;

// A port as named: its operations and what they open.
struct Port {
    const PortOperations* operations;
    bool tcp;
    char name[NAME_CAPACITY];         // as the messages name it: as given, or "ComN"
    char device[NAME_CAPACITY + 16];  // a serial port's device, as the system opens it
    TncAddress tnc;                   // a TCP port's TNC
    std::int32_t speed;               // the line speed, which TCP does not use
};

struct PortOperations {
    open_result (*open)(const Port& port);
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

// Names the port from text: a serial device as the platform writes it (a
// path on Linux, COMn or \\.\COMn on Windows), or HOST:PORT, a decimal port
// 1 to 65535 after the last ':' and something before it. False for neither.
bool name_port(const char* text, Port& port);

// Names Com1 to Com4, number 1 to 4: the platform's first four serial ports.
void name_com_port(int number, Port& port);

// Each platform's serial file: whether text names a serial device, and if
// so the device to open; and the device of ComN.
bool device_named(const char* text, char* device, std::size_t capacity);
void com_device(int number, char* device, std::size_t capacity);

// How long one octet may wait to be handed over before the port counts as
// stalled: 50 ms, and the time the line needs at speed (ten bits an octet)
// for what it holds ahead of the octet and must send first; never less
// than 60 ms. What each port holds ahead:
// - Linux's serial driver (8250) refills a 16550's 16-octet FIFO only once
//   it is empty, so room comes 16 octets at a time;
constexpr int UART_FIFO_AHEAD = 16;
// - Windows' serial driver hands each octet to the UART, which may still be
//   sending the one before;
constexpr int WINDOWS_SERIAL_AHEAD = 1;
// - TCP has no line: an octet is given the least.
constexpr int TCP_AHEAD = 0;
constexpr long long octet_budget_us(std::int32_t speed, int octets_ahead) {
    constexpr long long MARGIN_US = 50'000;
    constexpr long long MINIMUM_US = 60'000;
    const long long line_us = octets_ahead * 10'000'000LL / (speed > 0 ? speed : 1);
    return MARGIN_US + line_us > MINIMUM_US ? MARGIN_US + line_us : MINIMUM_US;
}

// A frame handed to a serial line: each octet by write_octet, up to the
// first that fails.
send_result send_octets(const std::uint8_t* frame, std::size_t length,
                        send_result (*write_octet)(std::uint8_t));

// Why the last open or send failed, in the system's words; kept by the
// layer where it failed, before anything else can change it.
const char* failure_reason();
void keep_failure(const char* why);
void keep_failure(const char* where, const char* why);  // "where: why"
// Why a serial line failed that took no octet within budget_us.
const char* stalled_line(long long budget_us);

}  // namespace ports
