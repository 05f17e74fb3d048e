#pragma once

#include <cstddef>

// The port of the benchmarks: takes every frame at once, so that what is
// timed is the program's own work on a frame.
namespace null_serial {

extern std::size_t octets_taken;

void use_null_port();

}  // namespace null_serial
