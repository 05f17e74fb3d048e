#include <winsock2.h>
#include <ws2tcpip.h>

#include "ax25/encoder.h"
#include "kiss/protocol.h"
#include "kiss/system_message_win32.h"
#include "kiss/tcp.h"

#include <cstdio>
#include <cstring>

namespace kiss {

namespace {

// The same budget as on a serial line: 60 ms for every octet of the frame,
// counted from its first.
constexpr ULONGLONG OCTET_BUDGET_MS = 60;

SOCKET tnc = INVALID_SOCKET;
bool tnc_closed;  // the TNC ended the connection: seen while draining
char reason[256];
TncAddress tnc_address;
// A frame with every octet escaped, and its two FENDs.
std::uint8_t frame[2 * ax25::FRAME_CAPACITY + 2];
std::size_t frame_fill;
ULONGLONG frame_started;

void record_failure(int error) { system_message(static_cast<DWORD>(error), reason, sizeof reason); }

// Waits until the connection can take more (or has failed); false at the
// deadline.
bool wait_writable(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
        return false;
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(tnc, &writable);
    FD_SET(tnc, &failed);
    const ULONGLONG left = deadline - now;
    timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
    return select(0, nullptr, &writable, &failed, &wait) != 0;
}

// One address of the TNC; 0, or the Winsock error of what failed.
int try_connect(const addrinfo& address, ULONGLONG deadline) {
    tnc = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (tnc == INVALID_SOCKET) {
        return WSAGetLastError();
    }
    u_long non_blocking = 1;
    int error = 0;
    if (ioctlsocket(tnc, FIONBIO, &non_blocking) != 0) {
        error = WSAGetLastError();
    } else if (connect(tnc, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            int length = sizeof error;
            error = !wait_writable(deadline) ? WSAETIMEDOUT
                    : getsockopt(tnc, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                                 &length) != 0
                        ? WSAGetLastError()
                        : error;
        }
    }
    if (error != 0) {
        (void)closesocket(tnc);  // never used: nothing to lose
        tnc = INVALID_SOCKET;
    }
    return error;
}

bool fail_send(const char* why) {
    if (why == nullptr) {
        record_failure(WSAGetLastError());
    } else {
        (void)std::snprintf(reason, sizeof reason, "%s", why);
    }
    frame_fill = 0;
    return false;
}

bool send_frame() {
    const ULONGLONG deadline = frame_started + OCTET_BUDGET_MS * frame_fill;
    for (std::size_t sent = 0; sent < frame_fill;) {
        const int n = send(tnc, reinterpret_cast<const char*>(frame + sent),
                           static_cast<int>(frame_fill - sent), 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
            return fail_send(nullptr);
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
    const ULONGLONG deadline = GetTickCount64() + CONNECT_BUDGET_MS;
    int error = 0;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        if ((error = try_connect(*address, deadline)) == 0 || error == WSAETIMEDOUT) {
            break;
        }
    }
    freeaddrinfo(found);
    if (error != 0) {
        record_failure(error);
        if (error == WSAETIMEDOUT) {
            (void)std::snprintf(reason, sizeof reason, "no answer within 5 s");
        }
        return port_unavailable;
    }
    // Each frame is one send; it must not wait for the acknowledgement of
    // the one before.
    const BOOL on = TRUE;
    (void)setsockopt(tnc, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    tnc_closed = false;
    frame_fill = 0;
    return port_ready;
}

bool send_to_tnc(std::uint8_t octet) {
    if (frame_fill == 0) {
        drain_tnc();
        if (tnc_closed) {
            return fail_send("the TNC closed the connection");
        }
        frame_started = GetTickCount64();
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
    if (tnc != INVALID_SOCKET && (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)) {
        tnc_closed = true;
    }
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
