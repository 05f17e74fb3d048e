// For test runners written in shell: writes the shared input file to the
// path given, then prints the octets a port must receive for it (hex, one
// line) and the thirteen speeds (one line).
#include "tests/program_expectations.h"

#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: expected_stream input_file\n";
        return 2;
    }
    std::ofstream(argv[1], std::ios::binary) << expectations::file_content();
    std::cout << expectations::octets() << '\n';
    for (const char* speed : app::accepted_baud_rates) {
        std::cout << speed << ' ';
    }
    std::cout << '\n';
    return 0;
}
