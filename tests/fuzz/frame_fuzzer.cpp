// Any input file, however malformed, binary or long, through the whole run:
// the line reader's splitting, the encoder and KISS framing, into the fake
// serial layer. For every piece the reader hands over there must be one
// KISS frame that un-escapes to exactly the encoded frame, of no more octets
// than the line's length allows; and a line that follows the grammar must
// decode back to the same addresses, marks and text.
#include "app/run.h"
#include "ax25/encoder.h"
#include "kiss/protocol.h"
#include "monitor/decode.h"
#include "tests/fake_serial.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

char input_path[] = "/tmp/uipacer-fuzz-XXXXXX";

[[noreturn]] void fail(const char* what, const std::string& piece) {
    (void)std::fprintf(stderr, "\n*** %s, for the line of %zu octets:", what, piece.size());
    for (const char c : piece) {
        (void)std::fprintf(stderr, " %02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
    }
    (void)std::fprintf(stderr, "\n");
    std::abort();
}

// The pieces the standard line reader makes of a file: each ends after a
// line feed or after 1024 octets, whichever comes first.
std::vector<std::string> pieces_of(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> pieces;
    std::string piece;
    for (std::size_t i = 0; i < size; ++i) {
        piece += static_cast<char>(data[i]);
        if (data[i] == '\n' || piece.size() == ax25::LINE_CAPACITY) {
            pieces.push_back(piece);
            piece.clear();
        }
    }
    if (!piece.empty()) {
        pieces.push_back(piece);
    }
    return pieces;
}

struct Call {
    std::string callsign;
    unsigned ssid = 0;
    bool repeated = false;
};

bool is_call_character(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// CALL[-SSID], callsign of 1 to 6 upper-case letters and digits, SSID 0 to
// 15 without a leading zero, then one of the separators in `next`.
bool parse_call(const std::string& t, std::size_t& at, Call& call, const char* next) {
    const std::size_t start = at;
    while (at < t.size() && is_call_character(t[at]) && at - start < 6) {
        ++at;
    }
    call.callsign = t.substr(start, at - start);
    if (call.callsign.empty()) {
        return false;
    }
    if (at < t.size() && t[at] == '-') {
        ++at;
        const std::size_t digits = at;
        while (at < t.size() && t[at] >= '0' && t[at] <= '9' && at - digits < 2) {
            call.ssid = call.ssid * 10 + static_cast<unsigned>(t[at++] - '0');
        }
        if (at == digits || (t[digits] == '0' && at - digits > 1) || call.ssid > 15) {
            return false;
        }
    }
    return at < t.size() && std::strchr(next, t[at]) != nullptr;
}

// SOURCE>DEST,DIGI*,...:info with up to 8 digipeaters; false for a line
// that does not follow the grammar.
bool parse_line(const std::string& t, Call& source, Call& destination, std::vector<Call>& path,
                std::string& info) {
    std::size_t at = 0;
    if (!parse_call(t, at, source, ">") || !parse_call(t, ++at, destination, ",:")) {
        return false;
    }
    while (t[at] == ',') {
        Call digi;
        if (path.size() == 8 || !parse_call(t, ++at, digi, ",:*")) {
            return false;
        }
        digi.repeated = t[at] == '*';
        if (digi.repeated && (++at == t.size() || (t[at] != ',' && t[at] != ':'))) {
            return false;
        }
        path.push_back(digi);
    }
    info = t.substr(at + 1);
    return true;
}

bool same(const monitor::Address& a, const Call& c, bool flag) {
    return std::string(reinterpret_cast<const char*>(a.callsign), a.callsign_length) ==
               c.callsign &&
           a.ssid == c.ssid && a.flag == flag;
}

void check_grammar_line(const std::string& text) {
    Call source;
    Call destination;
    std::vector<Call> path;
    std::string info;
    if (!parse_line(text, source, destination, path, info)) {
        return;
    }
    monitor::Frame frame{};
    const char* problem =
        monitor::decode_frame(ax25::frame_buffer + 1, ax25::frame_length - 1, frame);
    if (problem != nullptr) {
        fail(problem, text);
    }
    // A command frame: the destination's C bit set, the source's clear.
    if (!same(frame.source, source, false) || !same(frame.destination, destination, true)) {
        fail("the addresses do not decode back", text);
    }
    if (frame.path_count != path.size()) {
        fail("the path does not decode back", text);
    }
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (!same(frame.path[i], path[i], path[i].repeated)) {
            fail("a digipeater or its mark does not decode back", text);
        }
    }
    if (std::string(reinterpret_cast<const char*>(frame.info), frame.info_length) != info) {
        fail("the information text does not decode back", text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    const int fd = mkstemp(input_path);
    if (fd < 0 || std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    close(fd);
    if (std::atexit([] { unlink(input_path); }) != 0) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(input_path, "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
        std::abort();
    }
    fake_serial::reset();
    char program[] = "uipacer";
    char port[] = "1";
    char speed[] = "9600";
    char pause[] = "1";
    char* argv[] = {program, input_path, port, speed, pause, nullptr};
    if (app::run_main(5, argv) != 0) {
        fail("the run did not succeed", std::string(data, data + size));
    }

    const std::vector<std::uint8_t>& wire = fake_serial::record().octets;
    std::size_t at = 0;
    for (const std::string& piece : pieces_of(data, size)) {
        // What the program sees of the piece: the text up to its first zero.
        const std::string text = piece.substr(0, std::strlen(piece.c_str()));
        if (at == wire.size() || wire[at++] != kiss::FEND) {
            fail("no FEND opens the frame", text);
        }
        std::vector<std::uint8_t> frame;
        while (at < wire.size() && wire[at] != kiss::FEND) {
            std::uint8_t octet = wire[at++];
            if (octet == kiss::FESC) {
                const std::uint8_t escaped = at < wire.size() ? wire[at++] : 0;
                if (escaped != kiss::TFEND && escaped != kiss::TFESC) {
                    fail("a bare FESC inside the frame", text);
                }
                octet = escaped == kiss::TFEND ? kiss::FEND : kiss::FESC;
            }
            frame.push_back(octet);
        }
        if (at++ == wire.size()) {
            fail("no FEND closes the frame", text);
        }

        ax25::encode_frame(text.c_str());
        const std::size_t bound = 17 + 7 * (text.empty() ? 0 : text.size() - 1);
        if (ax25::frame_length > bound) {
            fail("the frame is longer than the line allows", text);
        }
        if (frame.size() != ax25::frame_length ||
            std::memcmp(frame.data(), ax25::frame_buffer, frame.size()) != 0) {
            fail("the octets sent are not the encoded frame", text);
        }
        check_grammar_line(text);
    }
    if (at != wire.size()) {
        fail("octets after the last frame", std::string(data, data + size));
    }
    return 0;
}
