#pragma once

#include "kiss/port.h"

#include <cstdint>

// A KISS TNC on TCP behind the port seam, one file per platform: port_name
// is HOST:PORT.
namespace kiss {

// The TNC must answer within this long.
constexpr int CONNECT_BUDGET_MS = 5000;

// Splits port_name, HOST:PORT with the host perhaps in brackets
// ([::1]:8001), into address: host is nullptr for localhost, which is this
// machine even where no hosts file says so (with no name, the lookup gives
// the loopback addresses).
struct TncAddress {
    char text[PORT_NAME_CAPACITY];
    const char* host;
    const char* service;
};
void split_tnc_address(TncAddress& address);

open_result connect_tnc();
// Octets gather until a frame's closing FEND, and the frame goes out as one
// send: one segment per frame, not per octet.
bool send_to_tnc(std::uint8_t octet);
void drain_tnc();
void close_tnc();
const char* tnc_failure();

}  // namespace kiss
