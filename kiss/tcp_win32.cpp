#include <winsock2.h>
#include <ws2tcpip.h>

#include "ax25/encoder.h"
#include "kiss/clock_win32.h"
#include "kiss/protocol.h"
#include "kiss/system_message_win32.h"
#include "kiss/tcp.h"

#include <cstdio>
#include <cstring>

namespace kiss {

namespace {

// The same budget as on a serial line: 60 ms for every octet of the frame,
// counted from its first.
constexpr long long OCTET_BUDGET_US = 60'000;

// A host's addresses are tried side by side, at most this many of them.
constexpr std::size_t ADDRESSES_TRIED = 8;

SOCKET tnc = INVALID_SOCKET;
// How the TNC ended the connection, seen while draining: the Winsock error
// of a reset or other failure, CLOSED_BY_TNC for a clean close, or 0.
constexpr int CLOSED_BY_TNC = -1;
int tnc_ended;
char reason[256];
TncAddress tnc_address;
// A frame with every octet escaped, and its two FENDs.
std::uint8_t frame[2 * ax25::FRAME_CAPACITY + 2];
std::size_t frame_fill;
long long frame_started;
// The connections being made, and how each went: 0 once it is made,
// WSAEWOULDBLOCK while it is under way, else the Winsock error.
SOCKET attempts[ADDRESSES_TRIED];
int outcomes[ADDRESSES_TRIED];
std::size_t attempt_count;

void record_failure(int error) { system_message(static_cast<DWORD>(error), reason, sizeof reason); }

timeval time_left(long long deadline) {
    const long long left = deadline - win32_clock::now_us();
    return left <= 0
               ? timeval{0, 0}
               : timeval{static_cast<long>(left / 1'000'000), static_cast<long>(left % 1'000'000)};
}

// Waits until the connection can take more (or has failed); false at the
// deadline.
bool wait_writable(long long deadline) {
    if (deadline <= win32_clock::now_us()) {
        return false;
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(tnc, &writable);
    FD_SET(tnc, &failed);
    timeval wait = time_left(deadline);
    return select(0, nullptr, &writable, &failed, &wait) != 0;
}

// Starts a connection to one address of the TNC, without waiting for it.
void start_attempt(const addrinfo& address) {
    SOCKET& attempt = attempts[attempt_count];
    int& outcome = outcomes[attempt_count++];
    attempt = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    u_long non_blocking = 1;
    outcome = attempt == INVALID_SOCKET                           ? WSAGetLastError()
              : ioctlsocket(attempt, FIONBIO, &non_blocking) != 0 ? WSAGetLastError()
              : connect(attempt, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0
                  ? WSAGetLastError()
                  : 0;
}

// The attempts still under way, to be waited for. Winsock's fd_set is a
// count and an array, filled here as FD_SET would, without its search for
// a socket already in it.
void watch_attempts(fd_set& writable, fd_set& failed) {
    writable.fd_count = 0;
    for (std::size_t i = 0; i < attempt_count; ++i) {
        if (outcomes[i] == WSAEWOULDBLOCK) {
            writable.fd_array[writable.fd_count++] = attempts[i];
        }
    }
    failed = writable;
}

// Waits for news of the attempts under way; false when none is under way,
// or at the deadline.
bool hear_of_attempts(long long deadline) {
    fd_set writable;
    fd_set failed;
    watch_attempts(writable, failed);
    timeval wait = time_left(deadline);
    if (writable.fd_count == 0 || select(0, nullptr, &writable, &failed, &wait) <= 0) {
        return false;
    }
    for (std::size_t i = 0; i < attempt_count; ++i) {
        int length = sizeof outcomes[i];
        if ((FD_ISSET(attempts[i], &writable) || FD_ISSET(attempts[i], &failed)) &&
            getsockopt(attempts[i], SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&outcomes[i]),
                       &length) != 0) {
            outcomes[i] = WSAGetLastError();
        }
    }
    return true;
}

std::size_t made_attempt() {
    std::size_t i = 0;
    while (i < attempt_count && outcomes[i] != 0) {
        ++i;
    }
    return i;
}

// Winsock retries a refused attempt for a second or more, so the attempts
// are waited for side by side, until one is made or the deadline. The index
// of the one made, or attempt_count.
std::size_t settle_attempts(long long deadline) {
    while (made_attempt() == attempt_count && hear_of_attempts(deadline)) {
    }
    return made_attempt();
}

bool fail_send(const char* why) {
    (void)std::snprintf(reason, sizeof reason, "%s", why);
    frame_fill = 0;
    return false;
}

bool fail_send(int error) {
    record_failure(error);
    frame_fill = 0;
    return false;
}

bool send_frame() {
    const long long deadline = frame_started + OCTET_BUDGET_US * static_cast<long long>(frame_fill);
    for (std::size_t sent = 0; sent < frame_fill;) {
        const int n = send(tnc, reinterpret_cast<const char*>(frame + sent),
                           static_cast<int>(frame_fill - sent), 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
            return fail_send(WSAGetLastError());
        } else if (!wait_writable(deadline)) {
            return fail_send("the TNC took nothing for 60 ms an octet");
        }
    }
    frame_fill = 0;
    return true;
}

}  // namespace

open_result connect_tnc() {
    WSADATA winsock{};
    const int started = WSAStartup(MAKEWORD(2, 2), &winsock);
    if (started != 0) {
        record_failure(started);
        return port_unavailable;
    }
    split_tnc_address(tnc_address);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(tnc_address.host, tnc_address.service, &hints, &found);
    if (lookup != 0) {
        record_failure(lookup);
        return port_unavailable;
    }
    const long long deadline = win32_clock::now_us() + CONNECT_BUDGET_MS * 1000LL;
    attempt_count = 0;
    for (const addrinfo* address = found; address != nullptr && attempt_count < ADDRESSES_TRIED;
         address = address->ai_next) {
        start_attempt(*address);
    }
    freeaddrinfo(found);
    const std::size_t made = settle_attempts(deadline);
    int error = 0;
    for (std::size_t i = 0; i < attempt_count; ++i) {
        if (i == made) {
            tnc = attempts[i];
            continue;
        }
        // Reported as the last address's failure, or as no answer when one
        // was still under way at the deadline.
        error = error == WSAEWOULDBLOCK ? error : outcomes[i];
        if (attempts[i] != INVALID_SOCKET) {
            (void)closesocket(attempts[i]);  // never used: nothing to lose
        }
    }
    if (made == attempt_count) {
        record_failure(error);
        if (error == WSAEWOULDBLOCK) {
            (void)std::snprintf(reason, sizeof reason, "no answer within 5 s");
        }
        return port_unavailable;
    }
    // Each frame is one send; it must not wait for the acknowledgement of
    // the one before.
    const BOOL on = TRUE;
    (void)setsockopt(tnc, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    tnc_ended = 0;
    frame_fill = 0;
    return port_ready;
}

bool send_to_tnc(std::uint8_t octet) {
    if (frame_fill == 0) {
        drain_tnc();
        if (tnc_ended == CLOSED_BY_TNC) {
            return fail_send("the TNC closed the connection");
        }
        if (tnc_ended != 0) {
            return fail_send(tnc_ended);
        }
        frame_started = win32_clock::now_us();
    }
    frame[frame_fill++] = octet;
    const bool frame_closed = octet == FEND && frame_fill > 1;
    return frame_closed || frame_fill == sizeof frame ? send_frame() : true;
}

void drain_tnc() {
    char discarded[1024];
    int n = 0;
    while (tnc != INVALID_SOCKET && (n = recv(tnc, discarded, sizeof discarded, 0)) > 0) {
    }
    if (tnc == INVALID_SOCKET || tnc_ended != 0) {
        return;  // the first news is kept: a reset is reported once, the reads after it see a close
    }
    // recv leaves the last error as it was when it returns 0.
    const int error = n == 0 ? CLOSED_BY_TNC : WSAGetLastError();
    tnc_ended = error == WSAEWOULDBLOCK ? 0 : error;
}

// Closing with unread data would reset the connection, and the TNC could
// lose the last frame with it: what it sent is taken first, and our side
// is ended in order.
void close_tnc() {
    if (tnc != INVALID_SOCKET) {
        drain_tnc();
        (void)shutdown(tnc, SD_SEND);
        (void)closesocket(tnc);  // nothing of ours is left to lose
        tnc = INVALID_SOCKET;
    }
}

const char* tnc_failure() { return reason; }

}  // namespace kiss
