#pragma once

#include "kiss/port.h"

#include <cstdint>

// A KISS TNC on TCP behind the port seam, one file per platform: port_name
// is HOST:PORT.
namespace kiss {

// The TNC must answer within this long.
constexpr int CONNECT_BUDGET_MS = 5000;

open_result connect_tnc();
// Octets gather until a frame's closing FEND, and the frame goes out as one
// send: one segment per frame, not per octet.
bool send_to_tnc(std::uint8_t octet);
void drain_tnc();
void close_tnc();
const char* tnc_failure();

}  // namespace kiss
