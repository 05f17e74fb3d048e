// Each line of any input, however malformed, binary or long, encoded and
// framed: a TNC reading the wire must find one KISS frame holding exactly
// the encoded frame.
#include "ax25/encoder.h"
#include "kiss/kiss.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

// libFuzzer keeps the input that led here.
[[noreturn]] void fail(const char* what) {
    (void)std::fprintf(stderr, "\n*** %s\n", what);
    std::abort();
}

std::uint8_t frame[ax25::FRAME_CAPACITY];
std::uint8_t wire[kiss::wire_capacity(ax25::FRAME_CAPACITY)];
kiss::Stream received;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream file(std::string(data, data + size));
    for (std::string line; std::getline(file, line);) {
        // As the program sees a line: with its newline, up to a zero, and
        // no more than it reads.
        line += file.eof() ? "" : "\n";
        line.resize(std::min(std::strlen(line.c_str()), ax25::LINE_CAPACITY));
        const std::size_t length = ax25::encode_frame(line.c_str(), frame);
        const std::size_t sent = kiss::frame(0, 0, frame, length, wire);
        // Read as a TNC reads it, the wire holds one frame and ends with it.
        kiss::reset_stream(received);
        kiss::read_result result = kiss::read_incomplete;
        for (std::size_t i = 0; i < sent; ++i) {
            result = kiss::take_octet(received, wire[i]);
            if (result != kiss::read_incomplete && i + 1 != sent) {
                fail(result == kiss::read_damaged ? received.problem : "octets after the frame");
            }
        }
        if (result != kiss::read_frame) {
            fail(result == kiss::read_damaged ? received.problem : "no FEND closes the frame");
        }
        if (received.length != length + 1 || received.frame[0] != 0 ||
            std::memcmp(received.frame + 1, frame, length) != 0) {
            fail("the octets sent are not the encoded frame");
        }
    }
    return 0;
}
