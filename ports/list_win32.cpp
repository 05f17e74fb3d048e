#include <windows.h>

#include <initguid.h>  // GUID_DEVCLASS_PORTS defined here, not only declared

#include <devguid.h>
#include <setupapi.h>

#include "ports/list.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace ports {

namespace {

// UTF-16 as UTF-8 into out.
void narrow(const wchar_t* text, char* out, std::size_t capacity) {
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, static_cast<int>(capacity), nullptr,
                            nullptr) == 0) {
        out[0] = '\0';
    }
}

// The friendly name that Device Manager shows of the port named port
// ("USB Serial Port (COM5)"), from the Ports class; "" if it has none.
void friendly_name(const wchar_t* port, char* detail, std::size_t capacity) {
    detail[0] = '\0';
    const HDEVINFO devices =
        SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; detail[0] == '\0' && SetupDiEnumDeviceInfo(devices, i, &device) != FALSE;
         ++i) {
        wchar_t name[64] = L"";
        DWORD size = sizeof name;
        const HKEY key =
            SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        const bool named = key != INVALID_HANDLE_VALUE &&
                           RegQueryValueExW(key, L"PortName", nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS;
        if (key != INVALID_HANDLE_VALUE) {
            (void)RegCloseKey(key);
        }
        wchar_t friendly[256] = L"";
        if (named && _wcsicmp(name, port) == 0 &&
            SetupDiGetDeviceRegistryPropertyW(
                devices, &device, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE*>(friendly),
                sizeof friendly - sizeof friendly[0], nullptr) != FALSE) {
            narrow(friendly, detail, capacity);
        }
    }
    (void)SetupDiDestroyDeviceInfoList(devices);
}

// COMn in the order of n.
bool before(const Listed& a, const Listed& b) {
    return std::strtol(a.name + 3, nullptr, 10) < std::strtol(b.name + 3, nullptr, 10);
}

}  // namespace

// Every serial port the drivers have made, as the system lists them.
std::size_t list_ports(Listed* list, std::size_t capacity) {
    HKEY ports = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                      &ports) != ERROR_SUCCESS) {
        return 0;
    }
    std::size_t count = 0;
    for (DWORD i = 0; count < capacity; ++i) {
        wchar_t device[256];
        wchar_t port[64];
        DWORD device_length = sizeof device / sizeof device[0];
        DWORD port_size = sizeof port - sizeof port[0];
        DWORD type = 0;
        const LONG found = RegEnumValueW(ports, i, device, &device_length, nullptr, &type,
                                         reinterpret_cast<BYTE*>(port), &port_size);
        if (found == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (found != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        port[port_size / sizeof port[0]] = L'\0';
        narrow(port, list[count].name, sizeof list[count].name);
        friendly_name(port, list[count].detail, sizeof list[count].detail);
        ++count;
    }
    (void)RegCloseKey(ports);
    std::sort(list, list + count, before);
    return count;
}

}  // namespace ports
