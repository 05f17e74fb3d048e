#pragma once

// Help before the air: the serial ports this machine has, and a file's
// lines checked against the frames they will make. Each returns the run's
// exit status.
namespace app {

// Lists the serial ports; 0.
int list_serial_ports();

// Shows each line of the file whose frame will not say what the line says:
// its number, the line, and what goes out instead, as the monitor shows a
// frame. 0 when every line goes out as written, 1 otherwise or when the
// file cannot be read.
int check_file(const char* name);

}  // namespace app
