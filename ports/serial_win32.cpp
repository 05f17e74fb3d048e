#include <windows.h>

#include "ports/port.h"
#include "services/system_message_win32.h"
#include "services/wait.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace ports {

namespace {

// Driver queues asked for in each direction. A driver takes them as a
// recommendation and may keep larger ones (the flow-control thresholds it
// reports are its own buffer's, and stay as it has them); the serial driver
// has no output queue, and hands each octet to the UART.
constexpr DWORD QUEUE_SIZE = 128;

// Read time-outs in milliseconds; the drain reads only what has arrived.
constexpr DWORD READ_INTERVAL_TIMEOUT = 50;
constexpr DWORD READ_TOTAL_TIMEOUT_MULTIPLIER = 10;
constexpr DWORD READ_TOTAL_TIMEOUT_CONSTANT = 50;
// A single-octet write gives up after 10 * 1 ms and the rest of the octet's
// budget.
constexpr DWORD WRITE_TOTAL_TIMEOUT_MULTIPLIER = 10;

// The standard XON and XOFF characters. Software flow control stays off, so
// they are never used; but a driver refuses settings whose two characters
// are equal, as USB CDC drivers report them.
constexpr char XON_CHARACTER = 0x11;
constexpr char XOFF_CHARACTER = 0x13;

HANDLE port_handle = INVALID_HANDLE_VALUE;
std::int32_t line_speed;
DCB device_control;
COMMTIMEOUTS time_outs;

// The port is opened for overlapped I/O, so that a pause can wait for what
// the TNC sends (WaitCommEvent) together with a stop, and sleep until then.
// Reads and writes still end before their call returns.
OVERLAPPED transfer;     // a read or a write
OVERLAPPED received;     // the wait for a character received
DWORD events;            // what that wait reports
bool waiting_for_input;  // that wait is under way

void record_failure(DWORD error) { keep_failure(services::system_message(error)); }

// A read or a write, to its end: false when it failed. Its time-out ends it
// with what it took: Windows says so with success, Wine with ERROR_TIMEOUT.
bool transfer_ended(BOOL started, DWORD* count) {
    if (started == FALSE && GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (GetOverlappedResult(port_handle, &transfer, count, TRUE) != FALSE) {
        return true;
    }
    *count = static_cast<DWORD>(transfer.InternalHigh);
    return GetLastError() == ERROR_TIMEOUT;
}

// Closing is the last we do with the device; if it fails, the process is
// about to end and take the handle with it. A wait still under way for the
// TNC is ended first: Windows writes into it until then.
void release_port() {
    if (waiting_for_input) {
        (void)SetCommMask(port_handle, 0);
        DWORD ignored = 0;
        (void)GetOverlappedResult(port_handle, &received, &ignored, TRUE);
        waiting_for_input = false;
    }
    (void)CloseHandle(port_handle);
    port_handle = INVALID_HANDLE_VALUE;
    for (OVERLAPPED* operation : {&transfer, &received}) {
        if (operation->hEvent != nullptr) {
            (void)CloseHandle(operation->hEvent);
            operation->hEvent = nullptr;
        }
    }
}

open_result refuse_settings(DWORD error) {
    record_failure(error);
    release_port();
    return port_settings_refused;
}

// Whatever is still queued would otherwise hold up CloseHandle on a
// stalled line. A device that is gone (a USB adapter pulled out) is lost; it
// may come back.
send_result fail_write(DWORD error) {
    (void)PurgeComm(port_handle, PURGE_TXABORT | PURGE_TXCLEAR);
    return error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND || error == ERROR_NOT_READY ||
                   error == ERROR_GEN_FAILURE || error == ERROR_DEVICE_NOT_CONNECTED ||
                   error == ERROR_DEVICE_REMOVED
               ? port_lost
               : send_failed;
}

// Gives the next single-octet write what is left of its octet's budget as
// its time-out: 10 ms for the octet and the rest constant, as the fields are
// usually set, or all of it constant when less than that is left after a
// line error. Whether that changed the fields.
bool give_write(long long left_us) {
    const DWORD ms = static_cast<DWORD>(left_us > 1000 ? (left_us + 999) / 1000 : 1);
    const DWORD multiplier =
        ms > WRITE_TOTAL_TIMEOUT_MULTIPLIER ? WRITE_TOTAL_TIMEOUT_MULTIPLIER : 0;
    const bool changed = time_outs.WriteTotalTimeoutMultiplier != multiplier ||
                         time_outs.WriteTotalTimeoutConstant != ms - multiplier;
    time_outs.WriteTotalTimeoutMultiplier = multiplier;
    time_outs.WriteTotalTimeoutConstant = ms - multiplier;
    return changed;
}

// COMn as Windows writes it, in any letter case, n from 1 to 255; the
// number's digits, or nullptr.
const char* port_number(const char* text) {
    if (std::strncmp(text, "\\\\.\\", 4) == 0) {
        text += 4;
    }
    if ((text[0] | 0x20) != 'c' || (text[1] | 0x20) != 'o' || (text[2] | 0x20) != 'm') {
        return nullptr;
    }
    const char* digits = text + 3;
    int value = 0;
    int count = 0;
    for (; digits[count] >= '0' && digits[count] <= '9' && count < 4; ++count) {
        value = value * 10 + (digits[count] - '0');
    }
    return digits[count] == '\0' && digits[0] != '0' && value >= 1 && value <= 255 ? digits
                                                                                   : nullptr;
}

// Only what has arrived is read, so the read never waits.
void drain_input() {
    DWORD errors = 0;
    COMSTAT status{};
    std::uint8_t discarded[256];
    while (port_handle != INVALID_HANDLE_VALUE &&
           ClearCommError(port_handle, &errors, &status) != FALSE && status.cbInQue > 0) {
        const DWORD wanted =
            status.cbInQue < sizeof discarded ? status.cbInQue : DWORD{sizeof discarded};
        DWORD got = 0;
        if (!transfer_ended(ReadFile(port_handle, discarded, wanted, nullptr, &transfer), &got) ||
            got == 0) {
            return;
        }
    }
}

open_result open_device(const Port& port) {
    line_speed = port.speed;
    // Not shared: no other program may write into our frames.
    port_handle = CreateFileA(port.device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port_handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        record_failure(error);
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                       error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_GEN_FAILURE
                   ? port_missing
                   : port_unavailable;
    }
    transfer = OVERLAPPED{};
    received = OVERLAPPED{};
    transfer.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    received.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (transfer.hEvent == nullptr || received.hEvent == nullptr ||
        SetupComm(port_handle, QUEUE_SIZE, QUEUE_SIZE) == FALSE ||
        SetCommMask(port_handle, EV_RXCHAR) == FALSE) {
        return refuse_settings(GetLastError());
    }

    // Only the line format changes; flow control and the rest stay as the
    // device has them, except that XON/XOFF must be off: KISS is binary, and
    // a 0x13 from the TNC must never hold up our output.
    device_control = DCB{};
    device_control.DCBlength = sizeof device_control;  // as the DCB's page requires of the caller
    if (GetCommState(port_handle, &device_control) == FALSE) {
        return refuse_settings(GetLastError());
    }
    device_control.BaudRate = static_cast<DWORD>(line_speed);
    device_control.ByteSize = 8;
    device_control.Parity = NOPARITY;
    device_control.StopBits = ONESTOPBIT;
    device_control.fOutX = FALSE;
    device_control.fInX = FALSE;
    if (device_control.XonChar == device_control.XoffChar) {
        device_control.XonChar = XON_CHARACTER;
        device_control.XoffChar = XOFF_CHARACTER;
    }
    device_control.fAbortOnError = TRUE;
    if (SetCommState(port_handle, &device_control) == FALSE) {
        // UARTs under the SerCx frameworks do not support abort on error;
        // without it a line error simply never aborts a write.
        const DWORD refusal = GetLastError();
        device_control.fAbortOnError = FALSE;
        if (SetCommState(port_handle, &device_control) == FALSE) {
            return refuse_settings(refusal);
        }
    }

    if (GetCommTimeouts(port_handle, &time_outs) == FALSE) {
        return refuse_settings(GetLastError());
    }
    time_outs.ReadIntervalTimeout = READ_INTERVAL_TIMEOUT;
    time_outs.ReadTotalTimeoutMultiplier = READ_TOTAL_TIMEOUT_MULTIPLIER;
    time_outs.ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_CONSTANT;
    (void)give_write(octet_budget_us(line_speed, WINDOWS_SERIAL_AHEAD));
    if (SetCommTimeouts(port_handle, &time_outs) == FALSE) {
        return refuse_settings(GetLastError());
    }
    return port_ready;
}

send_result write_octet(std::uint8_t octet) {
    drain_input();
    const long long budget = octet_budget_us(line_speed, WINDOWS_SERIAL_AHEAD);
    const long long deadline = services::now_us() + budget;
    DWORD written = 0;
    while ((give_write(deadline - services::now_us()) &&
            SetCommTimeouts(port_handle, &time_outs) == FALSE) ||
           !transfer_ended(WriteFile(port_handle, &octet, 1, nullptr, &transfer), &written)) {
        // With abort on error, a line error on the input (a TNC talking on a
        // busy channel) fails the write in progress and every later one until
        // it is cleared; the octet was not taken, so it goes again, within
        // what is left of its budget.
        const DWORD error = GetLastError();
        DWORD errors = 0;
        if (error != ERROR_OPERATION_ABORTED || services::now_us() >= deadline ||
            ClearCommError(port_handle, &errors, nullptr) == FALSE) {
            record_failure(error);
            return fail_write(error);
        }
    }
    // A write time-out on a synchronous handle succeeds with nothing written.
    if (written != 1) {
        keep_failure(stalled_line(budget));
        return fail_write(ERROR_TIMEOUT);
    }
    return frame_sent;
}

send_result send_frame(const std::uint8_t* frame, std::size_t length) {
    return send_octets(frame, length, write_octet);
}

// One wait for a character is kept under way until a character comes; a
// character that came before it began completes it at once.
bool wait_for_input(long long deadline_us) {
    if (!waiting_for_input) {
        events = 0;
        if (WaitCommEvent(port_handle, &events, &received) != FALSE) {
            return !services::stop_requested();  // one has come: the drain takes it
        }
        waiting_for_input = GetLastError() == ERROR_IO_PENDING;
        if (!waiting_for_input) {  // a port gone: the next write says so
            return services::wait_until(deadline_us, services::NO_INPUT);
        }
    }
    const bool went_on = services::wait_until(deadline_us, received.hEvent);
    DWORD ignored = 0;
    waiting_for_input = waiting_for_input &&
                        GetOverlappedResult(port_handle, &received, &ignored, FALSE) == FALSE &&
                        GetLastError() == ERROR_IO_INCOMPLETE;
    return went_on;
}

void close_device() {
    if (port_handle != INVALID_HANDLE_VALUE) {
        release_port();
    }
}

}  // namespace

// \\.\COMn, which COM10 and above need.
bool device_named(const char* text, char* device, std::size_t capacity) {
    const char* number = port_number(text);
    if (number != nullptr) {
        (void)std::snprintf(device, capacity, "\\\\.\\COM%s", number);
    }
    return number != nullptr;
}

void com_device(int number, char* device, std::size_t capacity) {
    (void)std::snprintf(device, capacity, "\\\\.\\COM%d", number);
}

const PortOperations serial_port = {open_device, send_frame, wait_for_input, drain_input,
                                    close_device};

}  // namespace ports
