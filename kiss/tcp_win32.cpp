#include <winsock2.h>
#include <ws2tcpip.h>

#include "kiss/system_message_win32.h"
#include "kiss/tcp.h"

namespace kiss::tcp {

namespace {

// A host's addresses are tried side by side, at most this many of them.
constexpr std::size_t ADDRESSES_TRIED = 8;

SOCKET tnc = INVALID_SOCKET;
WSAEVENT tnc_news = WSA_INVALID_EVENT;  // set when the TNC sends something or ends
// The connections being made, and how each went: 0 once it is made,
// WSAEWOULDBLOCK while it is under way, else the Winsock error.
SOCKET attempts[ADDRESSES_TRIED];
int outcomes[ADDRESSES_TRIED];
std::size_t attempt_count;

void keep_error(int error) { keep_failure(system_message(static_cast<DWORD>(error))); }

timeval time_left(long long deadline_us) {
    const long long left = deadline_us - now_us();
    return left <= 0
               ? timeval{0, 0}
               : timeval{static_cast<long>(left / 1'000'000), static_cast<long>(left % 1'000'000)};
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
bool hear_of_attempts(long long deadline_us) {
    fd_set writable;
    fd_set failed;
    watch_attempts(writable, failed);
    timeval wait = time_left(deadline_us);
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
std::size_t settle_attempts(long long deadline_us) {
    while (made_attempt() == attempt_count && hear_of_attempts(deadline_us)) {
    }
    return made_attempt();
}

}  // namespace

open_result connect_to(const char* host, const char* service, long long deadline_us) {
    WSADATA winsock{};
    const int started = WSAStartup(MAKEWORD(2, 2), &winsock);
    if (started != 0) {
        keep_error(started);
        return port_unavailable;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host, service, &hints, &found);
    if (lookup != 0) {
        keep_error(lookup);
        return port_unavailable;
    }
    attempt_count = 0;
    for (const addrinfo* address = found; address != nullptr && attempt_count < ADDRESSES_TRIED;
         address = address->ai_next) {
        start_attempt(*address);
    }
    freeaddrinfo(found);
    const std::size_t made = settle_attempts(deadline_us);
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
        if (error == WSAEWOULDBLOCK) {
            keep_failure("no answer within 5 s");
        } else {
            keep_error(error);
        }
        return port_unavailable;
    }
    // Each frame is one send; it must not wait for the acknowledgement of
    // the one before.
    const BOOL on = TRUE;
    (void)setsockopt(tnc, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // A pause waits on this event, not on a timer that looks for news.
    tnc_news = WSACreateEvent();
    if (tnc_news != WSA_INVALID_EVENT && WSAEventSelect(tnc, tnc_news, FD_READ | FD_CLOSE) != 0) {
        (void)WSACloseEvent(tnc_news);
        tnc_news = WSA_INVALID_EVENT;
    }
    return port_ready;
}

long send_some(const std::uint8_t* data, std::size_t length) {
    const int n = send(tnc, reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
    const int error = n < 0 ? WSAGetLastError() : 0;
    if (error == 0 || error == WSAEWOULDBLOCK) {
        return n < 0 ? 0 : n;
    }
    keep_error(error);
    return -1;
}

bool wait_writable(long long deadline_us) {
    if (deadline_us <= now_us()) {
        return false;
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(tnc, &writable);
    FD_SET(tnc, &failed);
    timeval wait = time_left(deadline_us);
    return select(0, nullptr, &writable, &failed, &wait) != 0;
}

int receive_all() {
    if (tnc == INVALID_SOCKET) {
        return 0;
    }
    // Reset before reading, so that what comes after the last read sets it
    // again.
    (void)WSAResetEvent(tnc_news);
    char discarded[1024];
    int n = 0;
    while ((n = recv(tnc, discarded, sizeof discarded, 0)) > 0) {
    }
    // recv leaves the last error as it was when it returns 0.
    const int error = n == 0 ? CLOSED_BY_TNC : WSAGetLastError();
    if (error == CLOSED_BY_TNC) {
        keep_failure("the TNC closed the connection");
    } else if (error != WSAEWOULDBLOCK) {
        keep_error(error);
    }
    return error == WSAEWOULDBLOCK ? 0 : error;
}

// Without the event a pause still drains, at its end.
Waitable input() { return tnc_news == WSA_INVALID_EVENT ? NO_INPUT : tnc_news; }

void disconnect() {
    if (tnc != INVALID_SOCKET) {
        (void)shutdown(tnc, SD_SEND);
        (void)closesocket(tnc);  // nothing of ours is left to lose
        tnc = INVALID_SOCKET;
    }
    if (tnc_news != WSA_INVALID_EVENT) {
        (void)WSACloseEvent(tnc_news);
        tnc_news = WSA_INVALID_EVENT;
    }
}

}  // namespace kiss::tcp
