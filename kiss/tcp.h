#pragma once

#include "kiss/port.h"
#include "kiss/wait.h"

#include <cstddef>
#include <cstdint>

// The connection to a KISS TNC on TCP, one file per platform; tcp.cpp makes
// a port of it. Each keeps the reason when it fails.
namespace kiss::tcp {

// How the TNC ended the connection: CLOSED_BY_TNC for a clean close, else
// the system's error of a reset or other failure.
constexpr int CLOSED_BY_TNC = -1;

// Connects to one of host's addresses (nullptr: this machine) by the
// deadline.
open_result connect_to(const char* host, const char* service, long long deadline_us);

// Sends what the connection takes now: how much, or -1 when it failed.
long send_some(const std::uint8_t* data, std::size_t length);

// Waits until the connection can take more, or has failed; false at the
// deadline.
bool wait_writable(long long deadline_us);

// Reads and discards what the TNC has sent, without waiting: 0 while the
// connection is up, else how it ended.
int receive_all();

// What becomes ready when the TNC sends something or ends the connection.
Waitable input();

// Ends our side in order and lets go of the connection.
void disconnect();

}  // namespace kiss::tcp
