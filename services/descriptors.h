#pragma once

// POSIX only: a program started with a standard descriptor closed would
// give that number to the next file or device it opens, which then becomes
// "standard output" and gets every line meant for the console.
namespace services {

// Opens each standard descriptor that came closed on the null device, the
// lowest free number being that one; if even that fails there is nothing
// better to do.
void open_standard_descriptors();

}  // namespace services
