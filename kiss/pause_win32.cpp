#include <windows.h>

#include "kiss/serial.h"

namespace kiss {

void sleep_ms(std::int32_t milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

}  // namespace kiss
