#include "kiss/kiss.h"
#include "ax25/encoder.h"
#include "kiss/port.h"
#include "tests/fake_serial.h"
#include "tests/hex.h"

#include <gtest/gtest.h>

namespace {

struct Vector {
    const char* why;
    const char* line;
    const char* octets;  // as the device receives them
};

const Vector vectors[] = {
    {"one frame between two FENDs, command octet first", "A>B:i",
     "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 69 C0"},
    {"FEND and FESC in the information text are escaped", "A>B:\xC0x\xDB",
     "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 DB DC 78 DB DD C0"},
    {"a '`' in a callsign becomes the address octet C0",
     "`>B:", "C0 00 84 40 40 40 40 40 E0 DB DC 40 40 40 40 40 61 03 F0 C0"},
    {"TFEND and TFESC alone are plain data", "A>B:\xDC\xDD",
     "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 DC DD C0"},
};

TEST(Kiss, SendsEachFrameEscapedOneOctetPerWrite) {
    for (const Vector& v : vectors) {
        fake_serial::reset();
        kiss::open_port();
        ax25::encode_frame(v.line);
        ASSERT_TRUE(kiss::transmit_frame()) << v.why;
        const auto& octets = fake_serial::record().octets;
        EXPECT_EQ(hex(octets.data(), octets.size()), v.octets) << v.why;
    }
}

TEST(Kiss, StopsAtTheFirstFailedWrite) {
    // The command octet, the second half of an escape pair, the closing FEND.
    const std::size_t fail_at[] = {1, 19, 21};
    for (std::size_t at : fail_at) {
        fake_serial::reset(fake_serial::Failure::write, at);
        kiss::open_port();
        ax25::encode_frame("A>B:\xC0x");
        EXPECT_FALSE(kiss::transmit_frame()) << at;
        EXPECT_EQ(fake_serial::record().octets.size(), at) << at;
    }
}

}  // namespace
