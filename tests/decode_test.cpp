#include "monitor/decode.h"
#include "kiss/protocol.h"
#include "tests/hex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> octets_of(const std::string& hex) {
    std::vector<std::uint8_t> octets;
    const char* at = hex.c_str();
    for (char* end = nullptr;; at = end) {
        const unsigned long value = std::strtoul(at, &end, 16);
        if (end == at) {
            return octets;
        }
        octets.push_back(static_cast<std::uint8_t>(value));
    }
}

// Everything a line delivers, one entry per frame: its octets, or "! " and
// what broke KISS's rules.
std::vector<std::string> frames_of(const std::vector<std::uint8_t>& line) {
    static monitor::KissStream stream;
    monitor::reset_stream(stream);
    std::vector<std::string> frames;
    for (const std::uint8_t octet : line) {
        switch (monitor::take_octet(stream, octet)) {
        case monitor::kiss_frame:
            frames.push_back(hex(stream.frame, stream.length));
            break;
        case monitor::kiss_damaged:
            frames.push_back(std::string("! ") + stream.problem);
            break;
        case monitor::kiss_incomplete:
            break;
        }
    }
    return frames;
}

TEST(KissStream, TakesFramesApartAndNamesEveryEscapeError) {
    struct Case {
        const char* why;
        std::string line;
        std::vector<std::string> frames;
    };
    const Case cases[] = {
        {"doubled and shared FENDs are only gaps",
         "C0 C0 00 41 C0 00 42 C0 C0",
         {"00 41", "00 42"}},
        {"both escapes", "C0 00 DB DC 41 DB DD C0", {"00 C0 41 DB"}},
        {"an escape of something else spoils only its frame",
         "C0 00 DB 41 42 C0 00 43 C0",
         {"! FESC is followed by 0x41, not TFEND or TFESC", "00 43"}},
        {"a frame may not end inside an escape",
         "C0 00 DB C0 00 44 C0",
         {"! the frame ends right after FESC", "00 44"}},
        {"TFEND and TFESC alone are data", "C0 DC DD C0", {"DC DD"}},
        {"a frame not yet closed shows nothing", "C0 00 41 42", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(frames_of(octets_of(c.line)), c.frames) << c.why;
    }

    std::vector<std::uint8_t> overlong(monitor::KISS_CAPACITY + 1, 0x41);
    overlong.push_back(kiss::FEND);
    EXPECT_EQ(frames_of(overlong),
              std::vector<std::string>{"! the frame is longer than 8192 octets"});
}

// The frame as TNC2 text, then " | " and a flaw in it; or "! " and why it
// could not be decoded.
std::string decoded(const std::string& hex) {
    const std::vector<std::uint8_t> octets = octets_of(hex);
    monitor::Frame frame{};
    const char* problem = monitor::decode_frame(octets.data(), octets.size(), frame);
    if (!frame.complete) {
        return std::string("! ") + (problem != nullptr ? problem : "incomplete, no reason");
    }
    char text[256];
    monitor::format_tnc2(frame, text, sizeof text);
    return std::string(text) + (problem != nullptr ? std::string(" | ") + problem : "");
}

// Addresses as the sender encodes them: A (destination, C bit), B (source,
// end of address).
const std::string a_to_b = "84 40 40 40 40 40 E0 82 40 40 40 40 40 61 ";

// A to B through count digipeaters named D.
std::string via_digipeaters(int count) {
    std::string frame = "84 40 40 40 40 40 E0 82 40 40 40 40 40 60 ";
    for (int i = 1; i <= count; ++i) {
        frame += i < count ? "88 40 40 40 40 40 60 " : "88 40 40 40 40 40 61 ";
    }
    return frame;
}

TEST(Ax25, DecodesStrictlyAndSaysWhatIsOff) {
    struct Case {
        const char* why;
        std::string frame;
        std::string result;
    };
    const Case cases[] = {
        {"path with SSIDs and a repeated digipeater",
         "82 A0 A4 A6 40 40 E0 9C 60 86 82 98 98 72 AE 92 88 8A 62 40 E2 AE 92 88 8A 64 40 65 "
         "03 F0 3E 68 65 6C 6C 6F 0A",
         "N0CALL-9>APRS,WIDE1-1*,WIDE2-2:>hello<0x0A>"},
        {"SSID 15; octets outside printable ASCII shown by value",
         "84 40 40 40 40 40 E0 82 40 40 40 40 40 7F 03 F0 C0 DB 00 7F 7E 20",
         "A-15>B:<0xC0><0xDB><0x00><0x7F>~ "},
        {"no information", a_to_b + "03 F0", "A>B:"},
        {"eight digipeaters", via_digipeaters(8) + "03 F0", "A>B,D,D,D,D,D,D,D,D:"},
        {"nine", via_digipeaters(9) + "03 F0", "! more than 8 digipeaters"},
        {"a frame cut inside the source", "84 40 40 40 40 40 E0 82 40",
         "! cut short: 9 octets end inside address 2"},
        {"the end-of-address bit never set", "84 40 40 40 40 40 E0 82 40 40 40 40 40 60",
         "! no end-of-address bit: the frame ends after address 2"},
        {"the end-of-address bit on the destination", "84 40 40 40 40 40 E1 03 F0",
         "! the address field ends after the destination: no source"},
        {"no control octet", "84 40 40 40 40 40 E0 82 40 40 40 40 40 61",
         "! cut short: no control octet"},
        {"no PID", a_to_b + "03", "! cut short: no PID octet"},
        {"not a UI frame", a_to_b + "13 F0", "! control octet 0x13, not UI (0x03)"},
        {"a layer 3 protocol", a_to_b + "03 CF", "! PID 0xCF, not 0xF0 (no layer 3)"},
        {"lower case is shown but named", "C2 E0 E4 E6 40 40 E0 DC 60 C6 C2 D8 D8 61 03 F0 78",
         "n0call>aprs:x | callsign character 0x61 is not A-Z or 0-9"},
        {"a space inside a callsign", "82 40 84 40 40 40 E0 82 40 40 40 40 40 61 03 F0",
         "A>A B: | callsign has a space before character 3"},
        {"an empty callsign", "40 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0",
         "A>: | an empty callsign"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decoded(c.frame), c.result) << c.why;
    }
}

}  // namespace
