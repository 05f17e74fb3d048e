#pragma once

#include "app/speeds.h"

#include <string>
#include <vector>

// What the program must print and send for a small input file, shared by
// every way the tests run the built program.
namespace expectations {

struct Frame {
    const char* line;    // as the file holds it
    const char* octets;  // as the device must receive it
};

const Frame frames[] = {
    {"N0CALL-9>APRS,WIDE1-1*,WIDE2-2:>hello\n",
     "C0 00 82 A0 A4 A6 40 40 E0 9C 60 86 82 98 98 72 AE 92 88 8A 62 40 E2 "
     "AE 92 88 8A 64 40 65 03 F0 3E 68 65 6C 6C 6F 0A C0"},
    {"A>B:\xC0\xDB\r\n",
     "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 DB DC DB DD 0D 0A C0"},
    {"A>B:i", "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 69 C0"},
};

const std::string banner = "\nUipacer version " UIPACER_VERSION " by Tobrin\n\n";

const std::string usage =
    "\nUsage: uipacer input_file com_port baud_rate pause_time\n\n"
    "input_file = name of file containing frames to be sent in TNC2 format\n"
    "com_port   = serial port [1..4] where the KISS frames should be sent to\n"
    "baud_rate  = speed at which the KISS frames should be sent\n"
    "pause_time = time between frames in seconds [1..60]\n\n";

// Argument checks, all made before any device is touched.
struct Arguments {
    std::vector<std::string> args;
    int status;
    std::string console;  // after the banner
};

inline std::vector<Arguments> argument_cases(const std::string& input) {
    return {
        {{}, 0, usage},
        {{input, "1", "9600"}, 0, usage},
        {{"/no/such/file", "9", "1", "0"}, 1, "\nUnable to open input file /no/such/file.\n"},
        {{input, "0", "9600", "1"}, 1, "\nInvalid com port specified.\n"},
        {{input, "1", "09600", "1"}, 1, "\nInvalid baud rate specified.\n"},
        {{input, "1", "9600", "61"}, 1, "\nInvalid pause time specified.\n"},
    };
}

inline std::string announcement(const std::string& line) {
    return "Sending frame:\n " + line + "\n\n";
}

inline std::string file_content() {
    std::string content;
    for (const Frame& f : frames) {
        content += f.line;
    }
    return content;
}

inline std::string console() {
    std::string text = banner;
    for (const Frame& f : frames) {
        text += announcement(f.line);
    }
    return text;
}

inline std::string octets() {
    std::string text;
    for (const Frame& f : frames) {
        text += (text.empty() ? "" : " ") + std::string(f.octets);
    }
    return text;
}

}  // namespace expectations
