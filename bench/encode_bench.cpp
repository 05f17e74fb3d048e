// What the program does with one line before the port sees it: encoding
// and KISS framing. Bytes per second counts the octets of the KISS frame,
// escapes and FENDs included.
#include "ax25/encoder.h"
#include "kiss/kiss.h"
#include "kiss/protocol.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::uint8_t frame[ax25::FRAME_CAPACITY];
std::uint8_t wire[kiss::wire_capacity(ax25::FRAME_CAPACITY)];

void send_line(benchmark::State& state, const std::string& line) {
    std::size_t octets = 0;
    for (auto _ : state) {
        octets +=
            kiss::frame(0, kiss::DATA_FRAME, frame, ax25::encode_frame(line.c_str(), frame), wire);
        benchmark::DoNotOptimize(wire);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(octets));
    state.counters["octets/frame"] =
        static_cast<double>(octets) / static_cast<double>(state.iterations());
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
