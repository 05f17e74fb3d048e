#pragma once

#include "kiss/port.h"

#include <cstdint>

// The serial device behind the port seam, one file per platform: the device
// that port_name names, at baud_rate.
namespace kiss {

open_result open_device();
bool write_device(std::uint8_t octet);
void drain_device();
void close_device();
const char* device_failure();

}  // namespace kiss
