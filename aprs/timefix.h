#pragma once

#include <ctime>

// APRS reports that carry the time they were made: a beacon sent again
// with its first timestamp is a stale report, which the APRS-IS servers drop
// as a duplicate of the one heard before.
namespace aprs {

// Replaces in line (TNC2 text, zero-terminated) the timestamp of an APRS
// report that carries one by the time now, in the same format, and leaves
// every other octet as it is:
// - a position report with a timestamp ('/' or '@'), and an object (';',
//   nine characters of name, '*' or '_'): DDHHMMz (UTC), DDHHMM/ (local
//   time) or HHMMSSh (UTC);
// - a status report ('>') that starts with DDHHMMz;
// - positionless weather ('_'): MMDDHHMM (UTC).
// A line that has no timestamp in its place, or one that is not of digits,
// is left as it is.
void fix_time(char* line, std::time_t now);

}  // namespace aprs
