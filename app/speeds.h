#pragma once

// The line speeds a user may give, compared as exact texts, in this order.
namespace app {

constexpr const char* accepted_baud_rates[] = {
    "110",  "300",   "600",   "1200",  "2400",  "4800",   "7200",
    "9600", "14400", "19200", "38400", "57600", "115200",
};

}  // namespace app
