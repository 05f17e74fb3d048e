// Each line of any input, however malformed, binary or long, encoded and
// sent to the fake port: the port must receive one KISS frame holding
// exactly the encoded frame, and a line that follows the TNC2 grammar must
// decode back to itself.
#include "ax25/encoder.h"
#include "kiss/kiss.h"
#include "kiss/port.h"
#include "kiss/protocol.h"
#include "monitor/decode.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
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

// SOURCE>DEST,DIGI*,...: with up to 8 digipeaters, each an upper-case
// callsign of up to six characters and an SSID of 1 to 15 if any.
bool check_decodes_back(const std::string& line) {
    static const std::string call = "[A-Z0-9]{1,6}(-[1-9]|-1[0-5])?";
    static const std::regex header(call + '>' + call + "(," + call + "\\*?){0,8}:");
    std::smatch match;
    if (!std::regex_search(line, match, header, std::regex_constants::match_continuous)) {
        return false;
    }
    monitor::Frame frame{};
    const char* problem =
        monitor::decode_frame(ax25::frame_buffer + 1, ax25::frame_length - 1, frame);
    if (problem != nullptr || !frame.destination.flag || frame.source.flag) {
        fail(problem != nullptr ? problem : "not a command frame");
    }
    if (std::string(frame.info, frame.info + frame.info_length) != match.suffix().str()) {
        fail("the information text does not decode back");
    }
    frame.info_length = 0;
    char shown[128];
    monitor::format_tnc2(frame, shown, sizeof shown);
    if (match.str() != shown) {
        fail("the addresses do not decode back");
    }
    return true;
}

}  // namespace

// The port takes every octet.
bool kiss::write_octet(std::uint8_t octet) {
    wire.push_back(octet);
    return true;
}

// Unless the grammar takes an ordinary line, nothing would decode back.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    ax25::encode_frame("N0CALL-9>APRS,WIDE1-1*:x");
    if (!check_decodes_back("N0CALL-9>APRS,WIDE1-1*:x")) {
        fail("the grammar takes no line");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream file(std::string(data, data + size));
    for (std::string line; std::getline(file, line);) {
        // As the program sees a line: with its newline, up to a zero, and
        // no more than it reads.
        line += file.eof() ? "" : "\n";
        line.resize(std::min(std::strlen(line.c_str()), ax25::LINE_CAPACITY));
        wire.clear();
        ax25::encode_frame(line.c_str());
        if (!kiss::transmit_frame() || wire.empty() || wire[0] != kiss::FEND) {
            fail("no FEND opens the frame");
        }
        // The wire as a TNC reads it.
        static monitor::KissStream received;
        monitor::reset_stream(received);
        monitor::kiss_result result = monitor::kiss_incomplete;
        for (const std::uint8_t octet : wire) {
            if (result != monitor::kiss_incomplete) {
                fail("octets after the frame");
            }
            result = monitor::take_octet(received, octet);
        }
        if (result != monitor::kiss_frame) {
            fail(result == monitor::kiss_damaged ? received.problem : "no FEND closes the frame");
        }
        if (received.length != ax25::frame_length ||
            std::memcmp(received.frame, ax25::frame_buffer, received.length) != 0) {
            fail("the octets sent are not the encoded frame");
        }
        check_decodes_back(line);
    }
    return 0;
}
