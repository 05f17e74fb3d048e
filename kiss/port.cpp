#include "kiss/port.h"

#include "kiss/serial.h"
#include "kiss/tcp.h"

// Which layer takes the frames is settled once, by the name the user gave.
namespace kiss {

open_result open_port() { return port_type == tcp_port ? connect_tnc() : open_device(); }

bool write_octet(std::uint8_t octet) {
    return port_type == tcp_port ? send_to_tnc(octet) : write_device(octet);
}

void drain_input() { port_type == tcp_port ? drain_tnc() : drain_device(); }

void close_port() { port_type == tcp_port ? close_tnc() : close_device(); }

const char* failure_reason() { return port_type == tcp_port ? tnc_failure() : device_failure(); }

}  // namespace kiss
