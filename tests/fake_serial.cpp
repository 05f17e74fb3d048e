#include "tests/fake_serial.h"

#include "app/process.h"
#include "kiss/port.h"

#include <cstdio>

namespace fake_serial {
namespace {
Record current;
Failure armed = Failure::none;
std::size_t armed_at = 0;
std::size_t writes = 0;
bool is_open = false;
bool stop_requested = false;
std::string pending;  // octets written since the last pause, as hex

void end_burst() {
    if (!pending.empty()) {
        current.events.push_back("octets" + pending);
        pending.clear();
    }
}
}  // namespace

void reset(Failure failure, std::size_t fail_at) {
    current = Record{};
    armed = failure;
    armed_at = fail_at;
    writes = 0;
    is_open = false;
    stop_requested = false;
    pending.clear();
}

const Record& record() {
    end_burst();
    return current;
}

}  // namespace fake_serial

namespace kiss {

using namespace fake_serial;

open_result open_port() {
    current.events.push_back(std::string("open ") + (port_type == tcp_port ? "tcp " : "") +
                             port_name + " " + std::to_string(baud_rate));
    if (armed == Failure::open) {
        return port_unavailable;
    }
    if (armed == Failure::settings) {
        return port_settings_refused;
    }
    is_open = true;
    return port_ready;
}

bool write_octet(std::uint8_t octet) {
    if (!is_open) {
        current.events.push_back("write while closed");
    }
    if (armed == Failure::stop && writes == armed_at) {
        stop_requested = true;
    }
    if (armed == Failure::write && writes == armed_at) {
        end_burst();
        current.events.push_back("write failed");
        return false;
    }
    ++writes;
    char hex[4];
    (void)std::snprintf(hex, sizeof hex, " %02X", octet);
    pending += hex;
    current.octets.push_back(octet);
    return true;
}

bool is_device_name(const char* text) { return text[0] == '/'; }

void drain_input() {}

void close_port() {
    end_burst();
    current.events.push_back("close");
    is_open = false;
}

const char* failure_reason() { return "/dev/fake: reason"; }

}  // namespace kiss

namespace app {

using namespace fake_serial;

void prepare_process() {}

bool pause_for(std::int32_t milliseconds) {
    end_burst();
    current.events.push_back("pause " + std::to_string(milliseconds));
    return !stop_requested;
}

const char* stop_request() { return stop_requested ? "SIGINT" : nullptr; }

int stop_status() { return 130; }

void process_finished() {}

}  // namespace app
