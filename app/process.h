#pragma once

#include "ports/port.h"

#include <cstdint>

// The seam to the process's own platform services: its console descriptors,
// requests to stop (signals, console events), and the pause between frames
// (pause.cpp, the same on every platform). One file per platform behind it;
// the tests link a fake.
namespace app {

// Readies the process before anything is opened: the console descriptors
// are open (so that no file or device can take one of them), a console that
// cannot be written never ends the run, and requests to stop are noted
// instead of ending the process where it stands.
void prepare_process();

// Waits out the pause between frames, draining the port; false, at once,
// when a stop has been requested before or during it.
bool pause_for(const ports::PortOperations& port, std::int32_t milliseconds);

// The request to stop that has arrived, such as "SIGINT" or "Ctrl-C", or
// nullptr when none has.
const char* stop_request();

// The exit status for that request: 128 plus the signal's number, as a
// shell reports a program that the signal ended.
int stop_status();

// Gives back what prepare_process took from the system (Windows' timer
// steps, on a Windows older than 10 1803), once the run is over.
void process_finished();

}  // namespace app
