#include "ax25/encoder.h"
#include "tests/hex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Vector {
    const char* why;
    std::string line;
    const char* frame;  // entries 0 to frame_length - 1
};

// Lines with their frames as they must come out; comments name the fault
// each one catches.
const Vector vectors[] = {
    {"minimal line, last address is the source", "A>B:i",
     "00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 69"},
    {"the newline belongs to the information text", "A>B:i\n",
     "00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 69 0A"},
    {"path with SSIDs and a repeated entry", "N0CALL-9>APRS,WIDE1-1*,WIDE2-2:>hello\n",
     "00 82 A0 A4 A6 40 40 E0 9C 60 86 82 98 98 72 AE 92 88 8A 62 40 E2 "
     "AE 92 88 8A 64 40 65 03 F0 3E 68 65 6C 6C 6F 0A"},
    {"no case conversion", "n0call>aprs:x",
     "00 C2 E0 E4 E6 40 40 E0 DC 60 C6 C2 D8 D8 61 03 F0 78"},
    {"SSIDs above 15 wrap modulo 16", "AB-17>CD-99:y",
     "00 86 88 40 40 40 40 E6 82 84 40 40 40 40 63 03 F0 79"},
    {"a '-' without digits gives SSID 0", "AB->CD-:z",
     "00 86 88 40 40 40 40 E0 82 84 40 40 40 40 61 03 F0 7A"},
    {"third SSID digit is taken as the '>' step; empty destination",
     "X-123>Y:", "00 40 40 40 40 40 40 E0 B0 40 40 40 40 40 78 B2 40 40 40 40 40 61 03 F0"},
    {"callsign cut after six characters, the seventh is the '>' step", "ABCDEFGH>APRS:q",
     "00 90 40 40 40 40 40 E0 82 84 86 88 8A 8C 60 82 A0 A4 A6 40 40 61 03 F0 71"},
    {"empty path entry", "A>B,:i",
     "00 84 40 40 40 40 40 E0 82 40 40 40 40 40 60 40 40 40 40 40 40 61 03 F0 69"},
    {"'*' after the destination is a ',' step", "A>B*:x",
     "00 84 40 40 40 40 40 E0 82 40 40 40 40 40 60 40 40 40 40 40 40 61 03 F0 78"},
    {"repeated bit and extension bit on path entries", "A>B,C-5*,D*:i",
     "00 84 40 40 40 40 40 E0 82 40 40 40 40 40 60 86 40 40 40 40 40 EA "
     "88 40 40 40 40 40 E1 03 F0 69"},
    {"CR LF stay in the information text", "A-1>B-2:\r\n",
     "00 84 40 40 40 40 40 E4 82 40 40 40 40 40 63 03 F0 0D 0A"},
    {"no ':' and no terminator", "A>B", "00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0"},
    {"no ':': the newline goes into the last callsign", "A>B\n",
     "00 84 14 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0"},
    {"a lone newline", "\n", "00 40 40 40 40 40 40 E0 14 40 40 40 40 40 61 03 F0"},
    {"an empty text", "", "00 40 40 40 40 40 40 E0 40 40 40 40 40 40 61 03 F0"},
    {"high octets: low seven bits in callsigns, unchanged in the information",
     "\xC1>B:\xC0\xDB\xFF\x01", "00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 C0 DB FF 01"},
    {"the text ends at its first zero", std::string("A>B:ab\0cd", 9),
     "00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 61 62"},
};

TEST(Encoder, EncodesEachVector) {
    for (const Vector& v : vectors) {
        ax25::encode_frame(v.line.c_str());
        EXPECT_EQ(hex(ax25::frame_buffer, ax25::frame_length), v.frame) << v.why;
        EXPECT_EQ(ax25::frame_buffer[ax25::frame_length], 0) << v.why;
    }
}

// The longest frame any line of the reader's capacity can give: each comma
// after the first opens an empty path entry of seven octets, and no limit of
// eight repeaters applies.
TEST(Encoder, WorstLineFitsInFull) {
    const std::string commas(ax25::LINE_CAPACITY, ',');
    ax25::encode_frame(commas.c_str());
    const std::size_t k = ax25::LINE_CAPACITY - 1;
    ASSERT_EQ(ax25::frame_length, 17 + 7 * k);
    EXPECT_EQ(ax25::frame_length + 1, ax25::FRAME_CAPACITY);
    EXPECT_EQ(ax25::frame_buffer[15 + 7 * k - 1], 0x61);  // last path SSID
    EXPECT_EQ(ax25::frame_buffer[15 + 7 * k], 0x03);
    EXPECT_EQ(ax25::frame_buffer[16 + 7 * k], 0xF0);
}

TEST(Encoder, ReadsNoMoreThanTheReaderCapacity) {
    // No zero within capacity: the text is taken to end there.
    const std::string line = "A>B:" + std::string(3000, 'x');
    ax25::encode_frame(line.c_str());
    EXPECT_EQ(ax25::frame_length, 17 + ax25::LINE_CAPACITY - 4);
}

}  // namespace
