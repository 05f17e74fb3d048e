#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A serial layer for tests: records what the program does with the device
// and fails on demand.
namespace fake_serial {

struct Record {
    std::vector<std::string> events;  // "open Com2 9600", "octets C0 ...", "pause 1000", "close"
    std::vector<std::uint8_t> octets;
};

enum class Failure { none, open, settings, write, stop };

// Forgets everything and arms a failure: for writes, the one at index
// fail_at (counting from 0 over the whole run) fails; for a stop, a SIGINT
// arrives during that write.
void reset(Failure failure = Failure::none, std::size_t fail_at = 0);
const Record& record();

}  // namespace fake_serial
