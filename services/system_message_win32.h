#pragma once

#include <windows.h>

namespace services {

// Windows' words for error, in UTF-8, without the line break and full stop
// that end them, since the caller puts them inside a sentence. Valid until
// the next call.
const char* system_message(DWORD error);

}  // namespace services
