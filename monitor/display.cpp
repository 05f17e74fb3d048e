#include "monitor/display.h"

#include "ax25/decode.h"
#include "kiss/protocol.h"

#include <cstdarg>
#include <cstdio>

namespace monitor {

namespace {

struct Output {
    char* out;
    std::size_t capacity;
    std::size_t length;
};

// Appends to o, as printf would; what does not fit is left out.
// NOLINTNEXTLINE(cert-dcl50-cpp): printf's own way of taking its arguments
void print(Output& o, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::size_t room = o.length < o.capacity ? o.capacity - o.length : 0;
    const int written = std::vsnprintf(o.out + o.length, room, format, arguments);
    va_end(arguments);
    if (written > 0) {
        o.length += static_cast<std::size_t>(written) < room ? static_cast<std::size_t>(written)
                                                             : (room > 0 ? room - 1 : 0);
    }
}

// A KISS command frame other than data, as a line: "TXDELAY 300 ms",
// "PERSIST 63", "SLOTTIME 100 ms", "TXTAIL 30 ms", "FULLDUP 1", or "RETURN
// (out of KISS mode)"; the TNC's channel, when not 0, before it ("port 3").
// False for a command unknown, or of the wrong length.
bool describe_command(Output& o, const std::uint8_t* frame, std::size_t length) {
    static const char* const names[] = {nullptr,          "TXDELAY %u ms", "PERSIST %u",
                                        "SLOTTIME %u ms", "TXTAIL %u ms",  "FULLDUP %u"};
    const unsigned command = frame[0] & kiss::COMMAND_MASK;
    const unsigned channel = frame[0] >> kiss::CHANNEL_SHIFT;
    if (frame[0] == kiss::RETURN && length == 1) {
        print(o, "RETURN (out of KISS mode)\n");
        return true;
    }
    if (command < kiss::TXDELAY || command > kiss::FULL_DUPLEX || length != 2) {
        return false;
    }
    if (channel != 0) {
        print(o, "port %u ", channel);
    }
    const bool time = command != kiss::PERSISTENCE && command != kiss::FULL_DUPLEX;
    print(o, names[command], frame[1] * (time ? kiss::PARAMETER_UNIT_MS : 1));
    print(o, "\n");
    return true;
}

// The octets as they came: the FEND before them, and the one after, if
// it came.
void print_received(Output& o, const Line& line, bool closed) {
    print(o, "  C0");
    for (std::size_t i = 0; i < line.received_length; ++i) {
        print(o, " %02X", line.received[i]);
    }
    print(o, line.received_cut || !closed ? " ...\n" : " C0\n");
}

bool text_like(const Line& line) {
    for (std::size_t i = 0; i < line.received_length; ++i) {
        const std::uint8_t c = line.received[i];
        if ((c < 0x20 || c > 0x7E) && c != '\r' && c != '\n' && c != '\t') {
            return false;
        }
    }
    return line.received_length > 0;
}

void print_text(Output& o, Line& line) {
    line.shown_text = true;
    print(o, "text: ");
    for (std::size_t i = 0; i < line.received_length; ++i) {
        const std::uint8_t c = line.received[i];
        print(o, c >= 0x20 && c < 0x7F ? "%c" : "<0x%02X>", c);
    }
    print(o, line.received_cut ? " ...\n" : "\n");
}

// A frame that breaks a rule, unless it is text that no frame holds.
void print_fault(Output& o, Line& line, const char* fault) {
    if (text_like(line)) {
        print_text(o, line);
        return;
    }
    print(o, "! %s\n", fault);
    print_received(o, line, true);
}

// One frame, or what is wrong with it.
void show(Output& o, Line& line, kiss::read_result result, bool hex) {
    line.shown_text = false;
    const kiss::Stream& stream = line.stream;
    const unsigned command = stream.frame[0];
    const bool data = (command & kiss::COMMAND_MASK) == kiss::DATA_FRAME;
    if (!line.opened) {
        print_text(o, line);  // before the first FEND: no frame
        return;
    }
    if (result == kiss::read_damaged) {
        print_fault(o, line, stream.problem);
        return;
    }
    if (!data && describe_command(o, stream.frame, stream.length)) {
        if (hex) {
            print_received(o, line, true);
        }
        return;
    }
    if (!data) {
        char fault[48];
        (void)std::snprintf(fault, sizeof fault, "KISS command 0x%02X, not a data frame", command);
        print_fault(o, line, fault);
        return;
    }
    ax25::Frame frame{};
    const char* flaw = ax25::decode_frame(stream.frame + 1, stream.length - 1, frame);
    if (!frame.complete) {
        print_fault(o, line, flaw);
        return;
    }
    if ((command >> kiss::CHANNEL_SHIFT) != 0) {
        print(o, "port %u ", command >> kiss::CHANNEL_SHIFT);
    }
    const std::size_t room = o.length < o.capacity ? o.capacity - o.length : 0;
    const std::size_t needed = ax25::format_tnc2(frame, o.out + o.length, room);
    o.length += needed < room ? needed : (room > 0 ? room - 1 : 0);
    print(o, "\n");
    if (flaw != nullptr) {
        print(o, "  ! %s\n", flaw);
    }
    if (hex) {
        print_received(o, line, true);
    }
}

}  // namespace

void reset_line(Line& line) {
    kiss::reset_stream(line.stream);
    line.received_length = 0;
    line.received_cut = false;
    line.opened = false;
}

std::size_t take(Line& line, std::uint8_t octet, bool hex, char* out, std::size_t capacity) {
    Output o{};
    o.out = out;
    o.capacity = capacity;
    const kiss::read_result result = kiss::take_octet(line.stream, octet);
    if (result != kiss::read_incomplete) {
        show(o, line, result, hex);
    }
    if (octet == kiss::FEND) {
        line.received_length = 0;
        line.received_cut = false;
        line.opened = true;
    } else if (line.received_length < sizeof line.received) {
        line.received[line.received_length++] = octet;
    } else {
        line.received_cut = true;
    }
    return o.length;
}

std::size_t finish(Line& line, char* out, std::size_t capacity) {
    Output o{};
    o.out = out;
    o.capacity = capacity;
    if (line.received_length > 0 && !line.opened) {
        print_text(o, line);
    } else if (line.received_length > 0) {
        print(o, "! cut short: the stop came inside the frame\n");
        print_received(o, line, false);
    }
    reset_line(line);
    return o.length;
}

}  // namespace monitor
