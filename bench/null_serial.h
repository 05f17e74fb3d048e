#pragma once

#include <cstddef>

// The serial layer of the benchmarks: takes every octet at once, so that
// what is timed is the program's own work on a frame.
namespace null_serial {

extern std::size_t octets_taken;

}  // namespace null_serial
