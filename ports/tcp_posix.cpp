#include "ports/tcp.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace ports::tcp {

namespace {

int tnc = -1;

int attempts[ADDRESSES_TRIED];  // the sockets of the connections being made

// The lookup of the TNC's name, by the C library on a thread of its own, so
// that it can be waited on with a deadline and a stop. It is kept beyond
// the call: a lookup that no server answers may still be running at the
// next try, which then waits on the same one (the name does not change).
gaicb lookup;
addrinfo hints;
char host[NAME_CAPACITY];
char service[8];
int looked_up = -1;  // readable once the lookup has ended

extern "C" void end_lookup(sigval /*unused*/) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t told = write(looked_up, &one, sizeof one);
}

// The TNC's addresses into found, by the deadline unless a stop comes
// first: 0, STOPPED, NO_ANSWER, or the lookup's own error (EAI_...).
int look_up(const TncAddress& peer, long long deadline_us, addrinfo** found) {
    if (looked_up < 0) {
        looked_up = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    if (looked_up < 0) {
        return EAI_SYSTEM;
    }
    if (gai_error(&lookup) != EAI_INPROGRESS) {
        if (lookup.ar_result != nullptr) {
            freeaddrinfo(lookup.ar_result);  // one that ended after it was given up
        }
        (void)std::snprintf(host, sizeof host, "%s", peer.host == nullptr ? "" : peer.host);
        (void)std::snprintf(service, sizeof service, "%s", peer.service);
        hints = addrinfo{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        lookup = gaicb{};
        lookup.ar_name = peer.host == nullptr ? nullptr : host;
        lookup.ar_service = service;
        lookup.ar_request = &hints;
        sigevent told{};
        told.sigev_notify = SIGEV_THREAD;
        told.sigev_notify_function = end_lookup;
        gaicb* list[] = {&lookup};
        const int started = getaddrinfo_a(GAI_NOWAIT, list, 1, &told);
        if (started != 0) {
            return started;
        }
    }
    int error = EAI_INPROGRESS;
    while ((error = gai_error(&lookup)) == EAI_INPROGRESS &&
           services::wait_until(deadline_us, looked_up) && services::now_us() < deadline_us) {
        std::uint64_t ended = 0;
        [[maybe_unused]] const ssize_t heard = read(looked_up, &ended, sizeof ended);
    }
    if (error == EAI_INPROGRESS) {
        (void)gai_cancel(&lookup);  // or it ends in its own time
        return services::stop_requested() ? STOPPED : NO_ANSWER;
    }
    *found = lookup.ar_result;  // the caller's to free
    lookup.ar_result = nullptr;
    return error;
}

// Waits until the connection can take more, or has news; false at the
// deadline.
bool wait_for(short events, long long deadline_us) {
    for (;;) {
        const long long left = deadline_us - services::now_us();
        if (left <= 0) {
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

// Starts a connection to one address of the TNC, without waiting for it.
void start_attempt(Attempts& started, const addrinfo& address) {
    int& attempt = attempts[started.count];
    int& outcome = started.outcomes[started.count++];
    attempt = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                     address.ai_protocol);
    outcome = attempt < 0                                                  ? errno
              : connect(attempt, address.ai_addr, address.ai_addrlen) == 0 ? 0
              : errno == EINPROGRESS                                       ? UNDER_WAY
                                                                           : errno;
}

}  // namespace

bool hear_of_attempts(Attempts& started, long long deadline_us) {
    pollfd watched[ADDRESSES_TRIED];
    std::size_t which[ADDRESSES_TRIED];
    nfds_t count = 0;
    for (std::size_t i = 0; i < started.count; ++i) {
        if (started.outcomes[i] == UNDER_WAY) {
            watched[count] = {attempts[i], POLLOUT, 0};
            which[count++] = i;
        }
    }
    const long long left = deadline_us - services::now_us();
    if (left <= 0 || services::stop_requested() ||
        (poll(watched, count, static_cast<int>((left + 999) / 1000)) < 0 && errno != EINTR)) {
        return false;  // a signal's EINTR: a stop is looked for on the next round
    }
    for (nfds_t k = 0; k < count; ++k) {
        int& outcome = started.outcomes[which[k]];
        socklen_t length = sizeof outcome;
        if (watched[k].revents != 0 &&
            getsockopt(watched[k].fd, SOL_SOCKET, SO_ERROR, &outcome, &length) != 0) {
            outcome = errno;
        }
    }
    return true;
}

void keep_system_error(int error) { keep_failure(std::strerror(error)); }

open_result connect_to(const TncAddress& peer, long long deadline_us) {
    addrinfo* found = nullptr;
    const int lookup_error = look_up(peer, deadline_us, &found);
    if (lookup_error == STOPPED || lookup_error == NO_ANSWER) {
        return connect_failed(lookup_error);
    }
    if (lookup_error != 0) {
        keep_failure(lookup_error == EAI_SYSTEM ? std::strerror(errno)
                                                : gai_strerror(lookup_error));
        return port_missing;
    }
    Attempts started{};
    for (const addrinfo* address = found; address != nullptr && started.count < ADDRESSES_TRIED;
         address = address->ai_next) {
        start_attempt(started, *address);
    }
    freeaddrinfo(found);
    std::size_t made = 0;
    const int error = settle_attempts(started, deadline_us, &made);
    for (std::size_t i = 0; i < started.count; ++i) {
        if (i != made && attempts[i] >= 0) {
            (void)close(attempts[i]);  // never used: nothing to lose
        }
    }
    if (error != 0) {
        return connect_failed(error);
    }
    tnc = attempts[made];
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
    keep_system_error(error);
    return -1;
}

bool wait_writable(long long deadline_us) { return wait_for(POLLOUT, deadline_us); }

int receive_all() {
    std::uint8_t discarded[1024];
    ssize_t n = 0;
    while (tnc >= 0 && (n = recv(tnc, discarded, sizeof discarded, MSG_DONTWAIT)) > 0) {
    }
    if (tnc >= 0 && n == 0) {
        return CLOSED_BY_TNC;
    }
    const int error = errno;
    if (tnc < 0 || error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
        return 0;
    }
    keep_system_error(error);
    return error;
}

// cppcheck also reads wait.h as Windows has it, where Waitable is a handle.
// cppcheck-suppress CastIntegerToAddressAtReturn
services::Waitable input() { return tnc; }

void disconnect() {
    if (tnc >= 0) {
        (void)shutdown(tnc, SHUT_WR);
        (void)close(tnc);  // nothing of ours is left to lose
        tnc = -1;
    }
}

}  // namespace ports::tcp
