#include <windows.h>

#include "kiss/serial.h"

#include <cstddef>
#include <cstdio>

namespace kiss {

namespace {

// Driver queues in each direction; the output one keeps an octet from being
// accepted long before the line can send it.
constexpr DWORD QUEUE_SIZE = 128;

// Time-outs in milliseconds. A single-octet write gives up after
// 10 * 1 + 50 = 60 ms.
constexpr DWORD READ_INTERVAL_TIMEOUT = 50;
constexpr DWORD READ_TOTAL_TIMEOUT_MULTIPLIER = 10;
constexpr DWORD READ_TOTAL_TIMEOUT_CONSTANT = 50;
constexpr DWORD WRITE_TOTAL_TIMEOUT_MULTIPLIER = 10;
constexpr DWORD WRITE_TOTAL_TIMEOUT_CONSTANT = 50;

HANDLE port_handle = INVALID_HANDLE_VALUE;
DCB device_control;
COMMTIMEOUTS time_outs;
char reason[256];

// The system's words for the error, without the line break and full stop
// that end them, since the caller puts the reason inside a sentence.
void record_failure(DWORD error) {
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, reason, static_cast<DWORD>(sizeof reason), nullptr);
    std::size_t end = length;
    while (end > 0 && (reason[end - 1] == '\r' || reason[end - 1] == '\n' ||
                       reason[end - 1] == ' ' || reason[end - 1] == '.')) {
        --end;
    }
    if (end == 0) {
        (void)std::snprintf(reason, sizeof reason, "system error %lu",
                            static_cast<unsigned long>(error));
    } else {
        reason[end] = '\0';
    }
}

// Closing is the last we do with the device; if it fails, the process is
// about to end and take the handle with it.
void release_port() {
    (void)CloseHandle(port_handle);
    port_handle = INVALID_HANDLE_VALUE;
}

open_result refuse_settings() {
    record_failure(GetLastError());
    release_port();
    return port_settings_refused;
}

// Whatever is still queued would otherwise hold up CloseHandle on a
// stalled line; the run is ending with the write message anyway.
bool fail_write() {
    (void)PurgeComm(port_handle, PURGE_TXABORT | PURGE_TXCLEAR);
    return false;
}

}  // namespace

open_result open_port() {
    // Not shared: no other program may write into our frames.
    port_handle =
        CreateFileA(port_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port_handle == INVALID_HANDLE_VALUE) {
        record_failure(GetLastError());
        return port_unavailable;
    }
    if (SetupComm(port_handle, QUEUE_SIZE, QUEUE_SIZE) == FALSE) {
        return refuse_settings();
    }

    // Only the line format changes; flow control and the rest stay as the
    // device has them, except that XON/XOFF must be off: KISS is binary, and
    // a 0x13 from the TNC must never hold up our output.
    if (GetCommState(port_handle, &device_control) == FALSE) {
        return refuse_settings();
    }
    device_control.BaudRate = static_cast<DWORD>(baud_rate);
    device_control.ByteSize = 8;
    device_control.Parity = NOPARITY;
    device_control.StopBits = ONESTOPBIT;
    device_control.fAbortOnError = TRUE;
    device_control.fOutX = FALSE;
    device_control.fInX = FALSE;
    if (SetCommState(port_handle, &device_control) == FALSE) {
        return refuse_settings();
    }

    if (GetCommTimeouts(port_handle, &time_outs) == FALSE) {
        return refuse_settings();
    }
    time_outs.ReadIntervalTimeout = READ_INTERVAL_TIMEOUT;
    time_outs.ReadTotalTimeoutMultiplier = READ_TOTAL_TIMEOUT_MULTIPLIER;
    time_outs.ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_CONSTANT;
    time_outs.WriteTotalTimeoutMultiplier = WRITE_TOTAL_TIMEOUT_MULTIPLIER;
    time_outs.WriteTotalTimeoutConstant = WRITE_TOTAL_TIMEOUT_CONSTANT;
    if (SetCommTimeouts(port_handle, &time_outs) == FALSE) {
        return refuse_settings();
    }
    return port_ready;
}

bool write_octet(std::uint8_t octet) {
    DWORD written = 0;
    if (WriteFile(port_handle, &octet, 1, &written, nullptr) == FALSE) {
        record_failure(GetLastError());
        return fail_write();
    }
    // A write time-out on a synchronous handle succeeds with nothing written.
    if (written != 1) {
        (void)std::snprintf(reason, sizeof reason, "no octet taken within 60 ms");
        return fail_write();
    }
    return true;
}

void close_port() {
    if (port_handle != INVALID_HANDLE_VALUE) {
        release_port();
    }
}

const char* failure_reason() { return reason; }

}  // namespace kiss
