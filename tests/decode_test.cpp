#include "monitor/decode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The frames in what a line delivers (octets in hex), as the monitor shows
// them: the TNC2 text, then " | " and a flaw in it; or "!" and why the
// frame cannot be decoded.
std::vector<std::string> shown(const std::string& line) {
    static monitor::KissStream received;
    monitor::reset_stream(received);
    std::vector<std::string> frames;
    std::istringstream octets(line);
    for (unsigned octet = 0; octets >> std::hex >> octet;) {
        const monitor::kiss_result result =
            monitor::take_octet(received, static_cast<std::uint8_t>(octet));
        if (result == monitor::kiss_incomplete) {
            continue;
        }
        monitor::Frame frame{};
        // An empty frame is the stream's fault: there is nothing to decode.
        const char* problem =
            result == monitor::kiss_damaged ? received.problem
            : received.length == 0
                ? "an empty frame"
                : monitor::decode_frame(received.frame + 1, received.length - 1, frame);
        char text[128] = "!";
        if (frame.complete) {
            monitor::format_tnc2(frame, text, sizeof text);
        }
        const char* separator = problem == nullptr ? "" : frame.complete ? " | " : " ";
        frames.push_back(text + std::string(separator) + (problem == nullptr ? "" : problem));
    }
    return frames;
}

std::string kiss(const std::string& frame) { return "C0 00 " + frame + " C0"; }

const std::string a_b = "84 40 40 40 40 40 E0 82 40 40 40 40 40 ";  // as far as B's SSID

// A to B through count digipeaters named D.
std::string via(int count) {
    std::string frame = a_b + "60 ";
    for (int i = 1; i <= count; ++i) {
        frame += i < count ? "88 40 40 40 40 40 60 " : "88 40 40 40 40 40 61 ";
    }
    return frame + "03 F0";
}

TEST(Decode, ShowsEachFrameOrWhatIsWrongWithIt) {
    const std::string from_b = "82 40 40 40 40 40 61 03 F0";  // and then to A:
    const std::string a_to_b = "84 40 40 40 40 40 E0 " + from_b;
    std::string overlong = "C0";
    for (std::size_t i = 0; i <= monitor::KISS_CAPACITY; ++i) {
        overlong += " 41";
    }
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        // FENDs doubled or shared, both escapes, TFEND and TFESC alone, a
        // frame not closed.
        {"C0 C0 00 " + a_to_b + " DB DC 41 DB DD C0 00 " + a_to_b + " DC DD C0 C0 00 41",
         {"A>B:<0xC0>A<0xDB>", "A>B:<0xDC><0xDD>"}},
        {"C0 00 DB 41 C0 00 DB C0 " + kiss(a_to_b),
         {"! FESC is followed by 0x41, not TFEND or TFESC", "! the frame ends right after FESC",
          "A>B:"}},
        {overlong + " C0", {"! the frame is longer than 8192 octets"}},
        // Every character a callsign may have, at both ends of its range.
        {kiss("82 A0 B4 72 40 40 E0 9C 60 86 82 98 98 72 AE 92 88 8A 62 40 E2 AE 92 88 8A 64 40 "
              "65 03 F0 3E 68 69 0A"),
         {"N0CALL-9>APZ9,WIDE1-1*,WIDE2-2:>hi<0x0A>"}},
        {kiss(a_b + "7F 03 F0 1F 20 7E 7F"), {"A-15>B:<0x1F> ~<0x7F>"}},
        {kiss(via(8)), {"A>B,D,D,D,D,D,D,D,D:"}},
        {kiss(via(9)), {"! more than 8 digipeaters"}},
        {kiss(a_b), {"! cut short: 13 octets end inside address 2"}},
        {kiss(a_b + "60"), {"! no end-of-address bit: the frame ends after address 2"}},
        {kiss("84 40 40 40 40 40 E1 03 F0"),
         {"! the address field ends after the destination: no source"}},
        {kiss(a_b + "61"), {"! cut short: no control octet"}},
        {kiss(a_b + "61 03"), {"! cut short: no PID octet"}},
        {kiss(a_b + "61 13 F0"), {"! control octet 0x13, not UI (0x03)"}},
        {kiss(a_b + "61 03 CF"), {"! PID 0xCF, not 0xF0 (no layer 3)"}},
        {kiss("C2 E0 E4 E6 40 40 E0 DC 60 C6 C2 D8 D8 61 03 F0"),
         {"n0call>aprs: | callsign character 0x61 is not A-Z or 0-9"}},
        {kiss("82 40 84 40 40 40 E0 " + from_b),
         {"A>A B: | callsign has a space before character 3"}},
        {kiss("40 40 40 40 40 40 E0 " + from_b), {"A>: | an empty callsign"}},
        {kiss("84 40 40 40 40 41 E0 " + from_b),
         {"A>B: | callsign octet 6 has the end-of-address bit set"}},
    };
    for (const auto& [stream, frames] : cases) {
        EXPECT_EQ(shown(stream), frames) << stream;
    }
}

}  // namespace
