#pragma once

#include "ports/port.h"
#include "services/wait.h"

#include <cstddef>
#include <cstdint>

// The connection to a KISS TNC on TCP, one file per platform; tcp.cpp makes
// a port of it. Each keeps the reason when it fails.
namespace ports::tcp {

// How the TNC ended the connection: CLOSED_BY_TNC for a clean close, else
// the system's error of a reset or other failure.
constexpr int CLOSED_BY_TNC = -1;

// Connects to one of the TNC's addresses by the deadline.
open_result connect_to(const TncAddress& peer, long long deadline_us);

// A host's addresses are connected to side by side, at most this many, so
// that one that never answers keeps none of the others from being tried; the
// first made is taken. How each attempt went: 0 once it is made, UNDER_WAY,
// or the system's error.
constexpr std::size_t ADDRESSES_TRIED = 8;
constexpr int UNDER_WAY = -2;
struct Attempts {
    int outcomes[ADDRESSES_TRIED];
    std::size_t count;
};

// Waits for news of the attempts under way, and notes how each went; false
// at the deadline, or when a stop has been requested.
bool hear_of_attempts(Attempts& started, long long deadline_us);

// Waits for the attempts until one is made, all have failed, the deadline
// or a stop: 0, and the one made; STOPPED; NO_ANSWER while one was still
// under way at the deadline; or the last address's error (tcp.cpp).
constexpr int STOPPED = -3;
constexpr int NO_ANSWER = -4;
int settle_attempts(Attempts& attempts, long long deadline_us, std::size_t* made);

// A connection not made: port_stopped, or missing with its reason kept
// (tcp.cpp); the system's words for error.
open_result connect_failed(int error);
void keep_system_error(int error);

// Sends what the connection takes now: how much, or -1 when it failed.
long send_some(const std::uint8_t* data, std::size_t length);

// Waits until the connection can take more, or has failed; false at the
// deadline.
bool wait_writable(long long deadline_us);

// Reads and discards what the TNC has sent, without waiting: 0 while the
// connection is up, else how it ended (the reason of a failure kept).
int receive_all();

// What becomes ready when the TNC sends something or ends the connection.
services::Waitable input();

// Ends our side in order and lets go of the connection.
void disconnect();

}  // namespace ports::tcp
