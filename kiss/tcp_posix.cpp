#include "kiss/tcp.h"

#include "ax25/encoder.h"
#include "kiss/clock_posix.h"
#include "kiss/protocol.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kiss {

namespace {

// The same budget as on a serial line: 60 ms for every octet of the frame,
// counted from its first.
constexpr long long OCTET_BUDGET_NS = 60'000'000;

int tnc = -1;
// How the TNC ended the connection, seen while draining: the errno of a
// reset or other failure, CLOSED_BY_TNC for a clean close, or 0.
constexpr int CLOSED_BY_TNC = -1;
int tnc_ended;
char reason[256];
TncAddress tnc_address;
// A frame with every octet escaped, and its two FENDs.
std::uint8_t frame[2 * ax25::FRAME_CAPACITY + 2];
std::size_t frame_fill;
long long frame_started;

void record_failure(const char* why) { (void)std::snprintf(reason, sizeof reason, "%s", why); }

// Waits until the connection can take more, or has news; false at the
// deadline.
bool wait_for(short events, long long deadline) {
    for (;;) {
        const long long left = deadline - posix_clock::now_ns();
        if (left <= 0) {
            return false;
        }
        pollfd wanted{tnc, events, 0};
        const int ready = poll(&wanted, 1, static_cast<int>((left + 999'999) / 1'000'000));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return true;  // the call that follows tells what is wrong
        }
    }
}

// One address of the TNC; 0, or the errno of what failed.
int try_connect(const addrinfo& address, long long deadline) {
    tnc = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                 address.ai_protocol);
    if (tnc < 0) {
        return errno;
    }
    int error = 0;
    if (connect(tnc, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            socklen_t length = sizeof error;
            error = !wait_for(POLLOUT, deadline)                                  ? ETIMEDOUT
                    : getsockopt(tnc, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ? errno
                                                                                  : error;
        }
    }
    if (error != 0) {
        (void)close(tnc);  // never used: nothing to lose
        tnc = -1;
    }
    return error;
}

bool fail_send(const char* why) {
    record_failure(why);
    frame_fill = 0;
    return false;
}

bool send_frame() {
    const long long deadline = frame_started + OCTET_BUDGET_NS * static_cast<long long>(frame_fill);
    for (std::size_t sent = 0; sent < frame_fill;) {
        const ssize_t n = send(tnc, frame + sent, frame_fill - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return fail_send(std::strerror(errno));
        } else if (!wait_for(POLLOUT, deadline)) {
            return fail_send("the TNC took nothing for 60 ms an octet");
        }
    }
    frame_fill = 0;
    return true;
}

}  // namespace

open_result connect_tnc() {
    split_tnc_address(tnc_address);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(tnc_address.host, tnc_address.service, &hints, &found);
    if (lookup != 0) {
        record_failure(lookup == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(lookup));
        return port_unavailable;
    }
    const long long deadline = posix_clock::now_ns() + CONNECT_BUDGET_MS * 1'000'000LL;
    int error = 0;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        if ((error = try_connect(*address, deadline)) == 0 || error == ETIMEDOUT) {
            break;
        }
    }
    freeaddrinfo(found);
    if (error != 0) {
        record_failure(error == ETIMEDOUT ? "no answer within 5 s" : std::strerror(error));
        return port_unavailable;
    }
    // Each frame is one send; it must not wait for the acknowledgement of
    // the one before.
    const int on = 1;
    (void)setsockopt(tnc, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    tnc_ended = 0;
    frame_fill = 0;
    return port_ready;
}

bool send_to_tnc(std::uint8_t octet) {
    if (frame_fill == 0) {
        drain_tnc();
        if (tnc_ended != 0) {
            return fail_send(tnc_ended == CLOSED_BY_TNC ? "the TNC closed the connection"
                                                        : std::strerror(tnc_ended));
        }
        frame_started = posix_clock::now_ns();
    }
    frame[frame_fill++] = octet;
    const bool frame_closed = octet == FEND && frame_fill > 1;
    return frame_closed || frame_fill == sizeof frame ? send_frame() : true;
}

void drain_tnc() {
    std::uint8_t discarded[1024];
    ssize_t n = 0;
    while (tnc >= 0 && (n = recv(tnc, discarded, sizeof discarded, MSG_DONTWAIT)) > 0) {
    }
    if (tnc < 0 || tnc_ended != 0) {
        return;  // the first news is kept: a reset is reported once, the reads after it see a close
    }
    if (n == 0) {
        tnc_ended = CLOSED_BY_TNC;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        tnc_ended = errno;
    }
}

// Closing with unread data would reset the connection, and the TNC could
// lose the last frame with it: what it sent is taken first, and our side
// is ended in order.
void close_tnc() {
    if (tnc >= 0) {
        drain_tnc();
        (void)shutdown(tnc, SHUT_WR);
        (void)close(tnc);  // nothing of ours is left to lose
        tnc = -1;
    }
}

const char* tnc_failure() { return reason; }

}  // namespace kiss
