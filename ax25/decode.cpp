#include "ax25/decode.h"

#include <cstdio>

namespace ax25 {

namespace {

constexpr std::size_t MAX_ADDRESSES = 2 + MAX_DIGIPEATERS;

char problem_text[128];

// What is off, with the one number that says where or what.
const char* problem(const char* format, unsigned value) {
    (void)std::snprintf(problem_text, sizeof problem_text, format, value);
    return problem_text;
}

bool allowed(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Fills address from its seven octets; when flaw is still nullptr, sets it
// to what AX.25 would not allow in the address, if anything. Only the first
// flaw is named: they share one text buffer.
void decode_address(const std::uint8_t* octets, Address& address, const char*& flaw) {
    address.callsign_length = 0;
    bool padding = false;
    for (std::size_t i = 0; i < CALLSIGN_LENGTH; ++i) {
        const std::uint8_t c = static_cast<std::uint8_t>(octets[i] >> 1);
        if ((octets[i] & LAST_ADDRESS_BIT) != 0 && flaw == nullptr) {
            flaw = problem("callsign octet %u has the end-of-address bit set", unsigned(i + 1));
        }
        if (c == ' ') {
            padding = true;
            continue;
        }
        if (flaw == nullptr && padding) {
            flaw = problem("callsign has a space before character %u", unsigned(i + 1));
        } else if (flaw == nullptr && !allowed(c)) {
            flaw = problem("callsign character 0x%02X is not A-Z or 0-9", c);
        }
        while (padding && address.callsign_length < i) {
            address.callsign[address.callsign_length++] = ' ';
        }
        padding = false;
        address.callsign[address.callsign_length++] = c;
    }
    if (address.callsign_length == 0 && flaw == nullptr) {
        flaw = "an empty callsign";
    }
    const std::uint8_t ssid_octet = octets[CALLSIGN_LENGTH];
    address.ssid = (ssid_octet & SSID_MASK) >> 1U;
    address.flag = (ssid_octet & COMMAND_BIT) != 0;  // or REPEATED_BIT: the same bit
}

struct Output {
    char* out;
    std::size_t capacity;
    std::size_t length;
};

void put(Output& o, char c) {
    if (o.length + 1 < o.capacity) {
        o.out[o.length] = c;
    }
    ++o.length;
}

void put(Output& o, const char* text) {
    for (; *text != '\0'; ++text) {
        put(o, *text);
    }
}

void put_octet(Output& o, std::uint8_t c) {
    if (c >= 0x20 && c < 0x7F) {
        put(o, static_cast<char>(c));
    } else {
        char shown[8];
        (void)std::snprintf(shown, sizeof shown, "<0x%02X>", c);
        put(o, shown);
    }
}

void put_address(Output& o, const Address& a) {
    for (std::size_t i = 0; i < a.callsign_length; ++i) {
        put_octet(o, a.callsign[i]);
    }
    if (a.ssid != 0) {
        char ssid[12];  // room for any unsigned
        (void)std::snprintf(ssid, sizeof ssid, "-%u", a.ssid);
        put(o, ssid);
    }
}

}  // namespace

const char* decode_frame(const std::uint8_t* octets, std::size_t length, Frame& frame) {
    frame.path_count = 0;
    frame.info = nullptr;
    frame.info_length = 0;
    frame.complete = false;

    std::size_t addresses = 0;
    std::size_t at = 0;
    for (;;) {
        if (at == length) {
            return problem("no end-of-address bit: the frame ends after address %u",
                           unsigned(addresses));
        }
        if (at + ADDRESS_LENGTH > length) {
            (void)std::snprintf(problem_text, sizeof problem_text,
                                "cut short: %u octets end inside address %u", unsigned(length),
                                unsigned(addresses + 1));
            return problem_text;
        }
        if (addresses == MAX_ADDRESSES) {
            return problem("more than %u digipeaters", unsigned(MAX_DIGIPEATERS));
        }
        ++addresses;
        at += ADDRESS_LENGTH;
        if ((octets[at - 1] & LAST_ADDRESS_BIT) != 0) {
            break;
        }
    }
    if (addresses < 2) {
        return "the address field ends after the destination: no source";
    }
    if (at == length) {
        return "cut short: no control octet";
    }
    if (octets[at] != CONTROL_UI) {
        return problem("control octet 0x%02X, not UI (0x03)", octets[at]);
    }
    if (at + 1 == length) {
        return "cut short: no PID octet";
    }
    if (octets[at + 1] != PID_NO_LAYER3) {
        return problem("PID 0x%02X, not 0xF0 (no layer 3)", octets[at + 1]);
    }

    const char* flaw = nullptr;
    decode_address(octets, frame.destination, flaw);
    decode_address(octets + ADDRESS_LENGTH, frame.source, flaw);
    for (std::size_t i = 2; i < addresses; ++i) {
        decode_address(octets + i * ADDRESS_LENGTH, frame.path[i - 2], flaw);
    }
    frame.path_count = addresses - 2;
    frame.info = octets + at + 2;
    frame.info_length = length - at - 2;
    frame.complete = true;
    if (flaw == nullptr && frame.info_length > MAX_INFO) {
        (void)std::snprintf(problem_text, sizeof problem_text,
                            "%u octets of information, more than a TNC passes on (%u)",
                            unsigned(frame.info_length), unsigned(MAX_INFO));
        flaw = problem_text;
    }
    return flaw;
}

std::size_t format_tnc2(const Frame& frame, char* out, std::size_t capacity) {
    Output o{out, capacity, 0};
    put_address(o, frame.source);
    put(o, '>');
    put_address(o, frame.destination);
    for (std::size_t i = 0; i < frame.path_count; ++i) {
        put(o, ',');
        put_address(o, frame.path[i]);
        if (frame.path[i].flag) {
            put(o, '*');
        }
    }
    put(o, ':');
    for (std::size_t i = 0; i < frame.info_length; ++i) {
        put_octet(o, frame.info[i]);
    }
    if (capacity > 0) {
        out[o.length < capacity ? o.length : capacity - 1] = '\0';
    }
    return o.length;
}

std::size_t format_text(const std::uint8_t* text, std::size_t length, char* out,
                        std::size_t capacity) {
    Output o{out, capacity, 0};
    for (std::size_t i = 0; i < length; ++i) {
        put_octet(o, text[i]);
    }
    if (capacity > 0) {
        out[o.length < capacity ? o.length : capacity - 1] = '\0';
    }
    return o.length;
}

}  // namespace ax25
