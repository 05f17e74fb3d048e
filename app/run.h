#pragma once

#include <cstdint>

// Run control: the command line, the console and the send loop.
namespace app {

// Process entry: returns the exit status (0 after a complete run or the
// usage text, 1 after a bad argument or a failure of the file or device).
int run_main(int argc, char** argv);

void print_usage();

// Decimal text to number as atoi reads it (leading white space, an optional
// sign, digits up to the first non-digit), wrapping modulo 2^32 instead of
// overflowing.
std::int32_t convert_number(const char* text);

// Names the port from the com_port argument, and with it the kind of port,
// trying its forms in turn: a device name as the platform writes it,
// HOST:PORT, then a number 1 to 4 read as atoi reads it, which gives "ComN".
// False when it is none of them.
bool name_port(const char* com_port);

}  // namespace app
