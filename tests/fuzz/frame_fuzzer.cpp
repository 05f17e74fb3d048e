// Each line of any input, however malformed, binary or long, encoded and
// sent to a port that takes every octet: a TNC reading the wire must find
// one KISS frame holding exactly the encoded frame.
#include "ax25/encoder.h"
#include "kiss/kiss.h"
#include "kiss/port.h"
#include "monitor/decode.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> wire;

// libFuzzer keeps the input that led here.
[[noreturn]] void fail(const char* what) {
    (void)std::fprintf(stderr, "\n*** %s\n", what);
    std::abort();
}

kiss::open_result open_port() { return kiss::port_ready; }
kiss::send_result take_frame(const std::uint8_t* frame, std::size_t length) {
    wire.assign(frame, frame + length);
    return kiss::frame_sent;
}
bool no_input(long long /*deadline_us*/) { return true; }
void nothing() {}
const kiss::PortOperations recording_port = {open_port, take_frame, no_input, nothing, nothing};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kiss::port = &recording_port;
    std::istringstream file(std::string(data, data + size));
    for (std::string line; std::getline(file, line);) {
        // As the program sees a line: with its newline, up to a zero, and
        // no more than it reads.
        line += file.eof() ? "" : "\n";
        line.resize(std::min(std::strlen(line.c_str()), ax25::LINE_CAPACITY));
        wire.clear();
        ax25::encode_frame(line.c_str());
        if (kiss::transmit_frame() != kiss::frame_sent) {
            fail("a port that takes every octet was refused the frame");
        }
        // Read as a TNC reads it, the wire holds one frame and ends with it.
        static monitor::KissStream received;
        monitor::reset_stream(received);
        monitor::kiss_result result = monitor::kiss_incomplete;
        for (std::size_t i = 0; i < wire.size(); ++i) {
            result = monitor::take_octet(received, wire[i]);
            if (result != monitor::kiss_incomplete && i + 1 != wire.size()) {
                fail(result == monitor::kiss_damaged ? received.problem : "octets after the frame");
            }
        }
        if (result != monitor::kiss_frame) {
            fail(result == monitor::kiss_damaged ? received.problem : "no FEND closes the frame");
        }
        if (received.length != ax25::frame_length ||
            std::memcmp(received.frame, ax25::frame_buffer, received.length) != 0) {
            fail("the octets sent are not the encoded frame");
        }
    }
    return 0;
}
