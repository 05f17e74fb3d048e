#include "ports/port.h"

#include <cstdio>
#include <cstring>

namespace ports {

namespace {

// "where: why", where a device path, why a system's message, which on
// Windows can be as long as 32768 UTF-16 units.
char reason[NAME_CAPACITY + std::size_t{3} * 32'768 + 16];

// HOST:PORT split into address; false when text is not of that form.
bool parse_tnc_address(const char* text, TncAddress& address) {
    const char* colon = std::strrchr(text, ':');
    if (colon == nullptr || colon == text) {
        return false;
    }
    std::size_t digits = 0;
    std::uint32_t number = 0;
    for (const char* c = colon + 1; *c != '\0'; ++c, ++digits) {
        if (*c < '0' || *c > '9' || digits == 5) {
            return false;
        }
        number = number * 10 + static_cast<std::uint32_t>(*c - '0');
    }
    if (number < 1 || number > 65535) {
        return false;
    }
    std::memcpy(address.text, text, std::strlen(text) + 1);
    char* host = address.text;
    host[colon - text] = '\0';
    address.service = host + (colon - text) + 1;
    const std::size_t length = std::strlen(host);
    if (length > 2 && host[0] == '[' && host[length - 1] == ']') {
        host[length - 1] = '\0';
        ++host;
    }
    const char* localhost = "localhost";
    std::size_t i = 0;
    while (host[i] != '\0' && (host[i] | 0x20) == localhost[i]) {
        ++i;
    }
    address.host = host[i] == '\0' && localhost[i] == '\0' ? nullptr : host;
    return true;
}

}  // namespace

bool name_port(const char* text, Port& port) {
    const std::size_t length = std::strlen(text);
    if (length >= NAME_CAPACITY) {
        return false;
    }
    port.tcp = !device_named(text, port.device, sizeof port.device);
    if (port.tcp && !parse_tnc_address(text, port.tnc)) {
        return false;
    }
    port.operations = port.tcp ? &tcp_port : &serial_port;
    std::memcpy(port.name, text, length + 1);
    return true;
}

void name_com_port(int number, Port& port) {
    port.operations = &serial_port;
    port.tcp = false;
    // "Com1" to "Com4": fits, so the result tells nothing.
    (void)std::snprintf(port.name, sizeof port.name, "Com%d", number);
    com_device(number, port.device, sizeof port.device);
}

send_result send_octets(const std::uint8_t* frame, std::size_t length,
                        send_result (*write_octet)(std::uint8_t)) {
    send_result result = frame_sent;
    for (std::size_t i = 0; i < length && result == frame_sent; ++i) {
        result = write_octet(frame[i]);
    }
    return result;
}

const char* failure_reason() { return reason; }

void keep_failure(const char* why) { (void)std::snprintf(reason, sizeof reason, "%s", why); }

void keep_failure(const char* where, const char* why) {
    (void)std::snprintf(reason, sizeof reason, "%s: %s", where, why);
}

const char* stalled_line(long long budget_us) {
    static char why[48];
    (void)std::snprintf(why, sizeof why, "no octet taken within %lld ms", (budget_us + 999) / 1000);
    return why;
}

}  // namespace ports
