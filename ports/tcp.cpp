#include "ports/tcp.h"

#include <cstdio>

// A KISS TNC on TCP as a port: what both platforms do with the connection.
namespace ports {

namespace {

// The TNC must answer within this long.
constexpr long long CONNECT_BUDGET_US = 5'000'000;

int ended;  // how the TNC ended the connection, seen while draining; 0 while it is up

// The budget of an octet on TCP, which has no line: the speed is none of its.
constexpr long long OCTET_BUDGET_US = octet_budget_us(0, TCP_AHEAD);

void keep_slow_tnc() {
    char why[64];
    (void)std::snprintf(why, sizeof why, "the TNC took nothing for %lld ms",
                        OCTET_BUDGET_US / 1000);
    keep_failure(why);
}

open_result connect_tnc(const Port& port) {
    ended = 0;
    return tcp::connect_to(port.tnc, services::now_us() + CONNECT_BUDGET_US);
}

// Only the first news is kept: a reset is reported once, and the reads after
// it see a close.
void drain_tnc() {
    if (ended != 0) {
        return;
    }
    ended = tcp::receive_all();
    if (ended == tcp::CLOSED_BY_TNC) {
        keep_failure("the TNC closed the connection");
    }
}

// The frame goes in one send, as one segment (Nagle's delay is off). While
// the connection takes some of it the frame is moving; a connection that
// takes nothing for an octet's budget has stalled, as a serial line that
// takes no octet. A connection that the TNC ended, or that failed, is lost:
// the TNC may listen again.
send_result send_frame(const std::uint8_t* frame, std::size_t length) {
    drain_tnc();
    if (ended != 0) {
        return port_lost;  // the reason was kept when the TNC ended it
    }
    long long deadline = services::now_us() + OCTET_BUDGET_US;
    for (std::size_t sent = 0; sent < length;) {
        const long n = tcp::send_some(frame + sent, length - sent);
        if (n < 0) {
            return port_lost;
        }
        if (n > 0) {
            deadline = services::now_us() + OCTET_BUDGET_US;
        }
        sent += static_cast<std::size_t>(n);
        if (sent < length && !tcp::wait_writable(deadline)) {
            keep_slow_tnc();
            return send_failed;
        }
    }
    return frame_sent;
}

bool wait_for_input(long long deadline_us) {
    return services::wait_until(deadline_us, ended == 0 ? tcp::input() : services::NO_INPUT);
}

// Closing with unread data would reset the connection, and the TNC could
// lose the last frame with it: what it sent is taken first.
void close_tnc() {
    drain_tnc();
    tcp::disconnect();
}

// The first attempt that went as wanted, or attempts.count.
std::size_t first_attempt(const tcp::Attempts& attempts, int wanted) {
    std::size_t i = 0;
    while (i < attempts.count && attempts.outcomes[i] != wanted) {
        ++i;
    }
    return i;
}

}  // namespace

const PortOperations tcp_port = {connect_tnc, send_frame, wait_for_input, drain_tnc, close_tnc};

namespace tcp {

int settle_attempts(Attempts& attempts, long long deadline_us, std::size_t* made) {
    while (first_attempt(attempts, 0) == attempts.count &&
           first_attempt(attempts, UNDER_WAY) < attempts.count &&
           hear_of_attempts(attempts, deadline_us)) {
    }
    *made = first_attempt(attempts, 0);
    if (*made < attempts.count) {
        return 0;
    }
    if (services::stop_requested()) {
        return STOPPED;
    }
    return first_attempt(attempts, UNDER_WAY) < attempts.count || attempts.count == 0
               ? NO_ANSWER
               : attempts.outcomes[attempts.count - 1];
}

open_result connect_failed(int error) {
    if (error == STOPPED) {
        return port_stopped;
    }
    if (error == NO_ANSWER) {
        char why[32];
        (void)std::snprintf(why, sizeof why, "no answer within %lld s",
                            CONNECT_BUDGET_US / 1'000'000);
        keep_failure(why);
    } else {
        keep_system_error(error);
    }
    return port_missing;
}

}  // namespace tcp

}  // namespace ports
