#pragma once

#include "tests/pty_run.h"

// What a test does to, and checks on, the terminal that stands in for the
// serial device, whichever build of the program runs against it.
namespace terminal {

// A terminal as we might find it: cooked, parity and two stop bits at
// 1200 Bd, XON/XOFF on, hardware flow control as asked.
void make_cooked(const pty_run::VirtualPort& port, bool hardware_flow_control);

// The settings the program must leave on the terminal: raw 8N1 at speed,
// no XON/XOFF, hardware flow control as it was found.
void expect_raw_line(const pty_run::VirtualPort& port, unsigned speed, bool hardware_flow_control);

// Fills the terminal's queue from the slave side until it takes nothing
// more, so that the program's next octet finds no room.
void stall(const pty_run::VirtualPort& port);

}  // namespace terminal
