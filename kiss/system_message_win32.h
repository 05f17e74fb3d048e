#pragma once

#include <windows.h>

#include <cstddef>

namespace kiss {

// Windows' words for error, without the line break and full stop that end
// them, since the caller puts them inside a sentence.
void system_message(DWORD error, char* out, std::size_t capacity);

}  // namespace kiss
