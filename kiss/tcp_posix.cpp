#include "kiss/tcp.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kiss::tcp {

namespace {

int tnc = -1;

// Waits until the connection can take more, or has news; false at the
// deadline, or when a stop is requested and that ends the wait: a connect
// in progress, not a frame.
bool wait_for(short events, long long deadline_us, bool stoppable = false) {
    for (;;) {
        const long long left = deadline_us - now_us();
        if (left <= 0 || (stoppable && stop_requested())) {
            return false;
        }
        pollfd wanted{tnc, events, 0};
        const int ready = poll(&wanted, 1, static_cast<int>((left + 999) / 1000));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return true;  // the call that follows tells what is wrong
        }
    }
}

// One address of the TNC; 0, or the errno of what failed.
int try_connect(const addrinfo& address, long long deadline_us) {
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
            error = !wait_for(POLLOUT, deadline_us, true)
                        ? (stop_requested() ? ECANCELED : ETIMEDOUT)
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

}  // namespace

open_result connect_to(const char* host, const char* service, long long deadline_us) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host, service, &hints, &found);
    if (lookup != 0) {
        keep_failure(lookup == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(lookup));
        return port_missing;
    }
    int error = 0;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        if ((error = try_connect(*address, deadline_us)) == 0 || error == ETIMEDOUT ||
            error == ECANCELED) {
            break;
        }
    }
    freeaddrinfo(found);
    if (error == ECANCELED) {
        return port_stopped;
    }
    if (error != 0) {
        keep_failure(error == ETIMEDOUT ? "no answer within 5 s" : std::strerror(error));
        return port_missing;
    }
    // Each frame is one send; it must not wait for the acknowledgement of
    // the one before.
    const int on = 1;
    (void)setsockopt(tnc, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return port_ready;
}

long send_some(const std::uint8_t* data, std::size_t length) {
    const ssize_t n = send(tnc, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    const int error = errno;
    if (n >= 0 || error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
        return n < 0 ? 0 : n;
    }
    keep_failure(std::strerror(error));
    return -1;
}

bool wait_writable(long long deadline_us) { return wait_for(POLLOUT, deadline_us); }

int receive_all() {
    std::uint8_t discarded[1024];
    ssize_t n = 0;
    while (tnc >= 0 && (n = recv(tnc, discarded, sizeof discarded, MSG_DONTWAIT)) > 0) {
    }
    if (tnc >= 0 && n == 0) {
        keep_failure("the TNC closed the connection");
        return CLOSED_BY_TNC;
    }
    const int error = errno;
    if (tnc < 0 || error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
        return 0;
    }
    keep_failure(std::strerror(error));
    return error;
}

// cppcheck also reads wait.h as Windows has it, where Waitable is a handle.
// cppcheck-suppress CastIntegerToAddressAtReturn
Waitable input() { return tnc; }

void disconnect() {
    if (tnc >= 0) {
        (void)shutdown(tnc, SHUT_WR);
        (void)close(tnc);  // nothing of ours is left to lose
        tnc = -1;
    }
}

}  // namespace kiss::tcp
