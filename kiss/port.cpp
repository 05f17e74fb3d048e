#include "kiss/port.h"

#include "kiss/serial.h"
#include "kiss/tcp.h"

#include <cstdio>
#include <cstring>

// Which layer takes the frames is settled once, by the name the user gave.
namespace kiss {

open_result open_port() { return port_type == tcp_port ? connect_tnc() : open_device(); }

bool write_octet(std::uint8_t octet) {
    return port_type == tcp_port ? send_to_tnc(octet) : write_device(octet);
}

void drain_input() { port_type == tcp_port ? drain_tnc() : drain_device(); }

void close_port() { port_type == tcp_port ? close_tnc() : close_device(); }

void split_tnc_address(TncAddress& address) {
    (void)std::snprintf(address.text, sizeof address.text, "%s", port_name);  // fits: same size
    char* colon = std::strrchr(address.text, ':');  // there is one: the name was taken as TCP
    *colon = '\0';
    address.service = colon + 1;
    char* host = address.text;
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
}

const char* failure_reason() { return port_type == tcp_port ? tnc_failure() : device_failure(); }

}  // namespace kiss
