#pragma once

#include "ports/port.h"

#include <cstddef>

// The serial ports this machine has, for the operator to find the TNC's:
// one file per platform.
namespace ports {

struct Listed {
    char name[NAME_CAPACITY];        // as com_port takes it
    char detail[NAME_CAPACITY + 3];  // what the system says of it, or "-> " and the device
};

// Fills list with up to capacity ports, in order; returns how many.
std::size_t list_ports(Listed* list, std::size_t capacity);

}  // namespace ports
