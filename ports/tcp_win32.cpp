#include <winsock2.h>
#include <ws2tcpip.h>

#include "ports/tcp.h"
#include "services/system_message_win32.h"

// Windows 8's asynchronous lookup, which MinGW's headers do not declare.
extern "C" {
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExCancel(LPHANDLE handle);
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED overlapped);
}

namespace ports::tcp {

namespace {

SOCKET tnc = INVALID_SOCKET;
WSAEVENT tnc_news = WSA_INVALID_EVENT;      // set when the TNC sends something or ends
SOCKET attempts[ADDRESSES_TRIED];           // the connections being made
WSAEVENT attempt_news = WSA_INVALID_EVENT;  // set when an attempt is settled
// The lookup: kept beyond the call, since Windows writes to it until it
// has ended, even when it is cancelled.
OVERLAPPED lookup;
ADDRINFOEXW* found;
wchar_t wide_host[NAME_CAPACITY];
wchar_t wide_service[8];

timeval time_left(long long deadline_us) {
    const long long left = deadline_us - services::now_us();
    return left <= 0
               ? timeval{0, 0}
               : timeval{static_cast<long>(left / 1'000'000), static_cast<long>(left % 1'000'000)};
}

// The host's addresses, by its name in Unicode, found by the deadline
// unless a stop comes first: 0, STOPPED, NO_ANSWER or the Winsock error.
int look_up(const char* host, const char* service, long long deadline_us) {
    if ((host != nullptr && MultiByteToWideChar(CP_UTF8, 0, host, -1, wide_host,
                                                sizeof wide_host / sizeof wide_host[0]) == 0) ||
        MultiByteToWideChar(CP_UTF8, 0, service, -1, wide_service,
                            sizeof wide_service / sizeof wide_service[0]) == 0) {
        return static_cast<int>(GetLastError());
    }
    ADDRINFOEXW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    lookup = OVERLAPPED{};
    lookup.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE cancel = nullptr;
    int error = GetAddrInfoExW(host == nullptr ? nullptr : wide_host, wide_service, NS_ALL, nullptr,
                               &hints, &found, nullptr,
                               lookup.hEvent == nullptr ? nullptr : &lookup, nullptr, &cancel);
    while (error == WSA_IO_PENDING &&
           (error = GetAddrInfoExOverlappedResult(&lookup)) == WSAEINPROGRESS) {
        if (!services::wait_until(deadline_us, lookup.hEvent) ||
            services::now_us() >= deadline_us) {
            (void)GetAddrInfoExCancel(&cancel);
            (void)WaitForSingleObject(lookup.hEvent, 1000);  // as good as at once
            error = services::stop_requested() ? STOPPED : NO_ANSWER;
            break;
        }
        error = WSA_IO_PENDING;
    }
    if (lookup.hEvent != nullptr) {
        (void)CloseHandle(lookup.hEvent);
    }
    return error;
}

// Starts a connection to one address of the TNC, without waiting for it.
void start_attempt(Attempts& started, const ADDRINFOEXW& address) {
    SOCKET& attempt = attempts[started.count];
    int& outcome = started.outcomes[started.count++];
    attempt = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    outcome = attempt == INVALID_SOCKET                                ? WSAGetLastError()
              : WSAEventSelect(attempt, attempt_news, FD_CONNECT) != 0 ? WSAGetLastError()
              : connect(attempt, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0 ? 0
              : WSAGetLastError() == WSAEWOULDBLOCK ? UNDER_WAY
                                                    : WSAGetLastError();
}

}  // namespace

// Winsock retries a refused attempt for a second or more before it says so,
// which is why the attempts go side by side.
bool hear_of_attempts(Attempts& started, long long deadline_us) {
    if (!services::wait_until(deadline_us, attempt_news) || services::now_us() >= deadline_us) {
        return false;
    }
    (void)WSAResetEvent(attempt_news);  // before reading, so that later news sets it again
    for (std::size_t i = 0; i < started.count; ++i) {
        WSANETWORKEVENTS news{};
        if (started.outcomes[i] == UNDER_WAY &&
            WSAEnumNetworkEvents(attempts[i], nullptr, &news) == 0 &&
            (news.lNetworkEvents & FD_CONNECT) != 0) {
            started.outcomes[i] = news.iErrorCode[FD_CONNECT_BIT];
        }
    }
    return true;
}

void keep_system_error(int error) {
    keep_failure(services::system_message(static_cast<DWORD>(error)));
}

open_result connect_to(const TncAddress& peer, long long deadline_us) {
    WSADATA winsock{};
    const int up = WSAStartup(MAKEWORD(2, 2), &winsock);
    const int lookup_error = up != 0 ? up : look_up(peer.host, peer.service, deadline_us);
    if (lookup_error != 0) {
        return connect_failed(lookup_error);
    }
    Attempts started{};
    attempt_news = WSACreateEvent();
    // MinGW's ai_next names its struct in another letter case: the same one.
    for (const ADDRINFOEXW* address = found; address != nullptr && started.count < ADDRESSES_TRIED;
         address = reinterpret_cast<const ADDRINFOEXW*>(address->ai_next)) {
        start_attempt(started, *address);
    }
    FreeAddrInfoExW(found);
    std::size_t made = 0;
    const int error = settle_attempts(started, deadline_us, &made);
    for (std::size_t i = 0; i < started.count; ++i) {
        if (i != made && attempts[i] != INVALID_SOCKET) {
            (void)closesocket(attempts[i]);  // never used: nothing to lose
        }
    }
    (void)WSACloseEvent(attempt_news);
    if (error != 0) {
        return connect_failed(error);
    }
    tnc = attempts[made];
    // Each frame is one send; it must not wait for the acknowledgement of
    // the one before.
    const BOOL on = TRUE;
    (void)setsockopt(tnc, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // A pause waits on this event, not on a timer that looks for news. It
    // takes the connection from the attempts' event.
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
    keep_system_error(error);
    return -1;
}

bool wait_writable(long long deadline_us) {
    if (deadline_us <= services::now_us()) {
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
    if (error != CLOSED_BY_TNC && error != WSAEWOULDBLOCK) {
        keep_system_error(error);
    }
    return error == WSAEWOULDBLOCK ? 0 : error;
}

// Without the event a pause still drains, at its end.
services::Waitable input() { return tnc_news == WSA_INVALID_EVENT ? services::NO_INPUT : tnc_news; }

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

}  // namespace ports::tcp
