// What the program does with one line before the device sees it: encoding
// and KISS escaping, into a serial layer that takes every octet at once.
// Bytes per second counts the octets sent, escapes and FENDs included.
#include "ax25/encoder.h"
#include "bench/null_serial.h"
#include "kiss/kiss.h"
#include "kiss/protocol.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void send_line(benchmark::State& state, const std::string& line) {
    null_serial::use_null_port();
    null_serial::octets_taken = 0;
    for (auto _ : state) {
        ax25::encode_frame(line.c_str());
        (void)kiss::transmit_frame();  // the null port takes every frame
    }
    const auto octets = static_cast<double>(null_serial::octets_taken);
    state.SetBytesProcessed(static_cast<std::int64_t>(null_serial::octets_taken));
    state.counters["octets/frame"] = octets / static_cast<double>(state.iterations());
}

std::string typical_line() {
    return "N0CALL-9>APRS,WIDE1-1,WIDE2-1:!4903.50N/07201.75W-PHG2360 Fixed station\n";
}

// A line as long as the reader hands over, its information all FEND and
// FESC: every information octet goes out as two.
std::string escaped_line() {
    std::string line = "N0CALL-9>APRS:";
    while (line.size() < ax25::LINE_CAPACITY) {
        line += static_cast<char>(line.size() % 2 == 0 ? kiss::FEND : kiss::FESC);
    }
    return line;
}

// The longest frame the encoder can make: 1023 empty path entries.
std::string longest_frame_line() { return std::string(ax25::LINE_CAPACITY, ','); }

}  // namespace

BENCHMARK_CAPTURE(send_line, typical_aprs, typical_line());
BENCHMARK_CAPTURE(send_line, all_escaped_1024, escaped_line());
BENCHMARK_CAPTURE(send_line, longest_frame_1024_commas, longest_frame_line());
