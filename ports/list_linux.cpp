#include "ports/list.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace ports {

namespace {

// The kinds of device a TNC is found on: USB serial adapters, USB modems
// (CDC ACM), the PL011 of ARM boards, and PC UARTs.
const char* const FAMILIES[] = {"ttyUSB", "ttyACM", "ttyAMA", "ttyS"};

// The first line of a file of sysfs's, or "".
void read_attribute(const char* folder, const char* name, char* value, std::size_t capacity) {
    char path[PATH_MAX];
    value[0] = '\0';
    if (std::snprintf(path, sizeof path, "%s/%s", folder, name) >= static_cast<int>(sizeof path)) {
        return;
    }
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return;
    }
    if (std::fgets(value, static_cast<int>(capacity), file) == nullptr) {
        value[0] = '\0';
    }
    value[std::strcspn(value, "\n")] = '\0';
    (void)std::fclose(file);
}

// The last part of the path a link points at, or "".
void link_name(const char* folder, const char* name, char* value, std::size_t capacity) {
    char path[PATH_MAX];
    char target[PATH_MAX];
    value[0] = '\0';
    if (std::snprintf(path, sizeof path, "%s/%s", folder, name) >= static_cast<int>(sizeof path)) {
        return;
    }
    const ssize_t length = readlink(path, target, sizeof target - 1);
    target[length > 0 ? length : 0] = '\0';
    const char* last = std::strrchr(target, '/');
    // Names of drivers and subsystems are short; a longer one is no name of theirs.
    if (std::snprintf(value, capacity, "%s", last == nullptr ? target : last + 1) >=
        static_cast<int>(capacity)) {
        value[0] = '\0';
    }
}

// What sysfs says of a tty: the driver of the first device up its tree that
// has one (past the serial core's own), and for a USB device its maker,
// product and serial number. False for a PC's UART that is only a number.
bool describe(const char* tty, char* detail, std::size_t capacity) {
    char folder[PATH_MAX];
    char value[256];
    (void)std::snprintf(folder, sizeof folder, "/sys/class/tty/%s", tty);
    read_attribute(folder, "type", value, sizeof value);
    if (std::strcmp(value, "0") == 0) {  // no UART behind it
        return false;
    }
    char link[PATH_MAX];
    char device[PATH_MAX];
    (void)std::snprintf(link, sizeof link, "/sys/class/tty/%s/device", tty);
    if (realpath(link, device) == nullptr) {
        return false;
    }
    char driver[128] = "";
    char maker[256] = "";
    char product[256] = "";
    char serial[256] = "";
    for (char* up = device; std::strlen(up) > std::strlen("/sys/devices");
         *std::strrchr(up, '/') = '\0') {
        link_name(up, "subsystem", value, sizeof value);
        if (driver[0] == '\0' && std::strcmp(value, "serial-base") != 0) {
            link_name(up, "driver", driver, sizeof driver);
        }
        read_attribute(up, "idVendor", value, sizeof value);
        if (value[0] != '\0' && maker[0] == '\0') {
            read_attribute(up, "manufacturer", maker, sizeof maker);
            read_attribute(up, "product", product, sizeof product);
            read_attribute(up, "serial", serial, sizeof serial);
        }
    }
    const int written = std::snprintf(detail, capacity, "%s", driver);
    if (maker[0] != '\0' || product[0] != '\0' || serial[0] != '\0') {
        (void)std::snprintf(detail + written, capacity - static_cast<std::size_t>(written),
                            "; %s%s%s%s%s", maker, maker[0] != '\0' ? ", " : "", product,
                            serial[0] != '\0' ? ", serial " : "", serial);
    }
    return true;
}

bool in_family(const char* name) {
    return std::any_of(std::begin(FAMILIES), std::end(FAMILIES), [name](const char* family) {
        const std::size_t length = std::strlen(family);
        return std::strncmp(name, family, length) == 0 && name[length] >= '0' &&
               name[length] <= '9';
    });
}

// A link under /dev to a serial device, with the device it points at.
void add_link(const char* path, Listed* list, std::size_t capacity, std::size_t& count) {
    char target[PATH_MAX];
    struct stat status {};
    if (count == capacity || lstat(path, &status) != 0 || !S_ISLNK(status.st_mode) ||
        realpath(path, target) == nullptr) {
        return;
    }
    (void)std::snprintf(list[count].name, sizeof list[count].name, "%s", path);
    (void)std::snprintf(list[count].detail, sizeof list[count].detail, "-> %s", target);
    ++count;
}

bool before(const Listed& a, const Listed& b) { return strverscmp(a.name, b.name) < 0; }

}  // namespace

std::size_t list_ports(Listed* list, std::size_t capacity) {
    std::size_t count = 0;
    // udev's stable names: by the adapter's maker, product and serial number.
    if (DIR* by_id = opendir("/dev/serial/by-id")) {
        // One stream, one thread: readdir is safe so (readdir_r is what is obsolete).
        while (const dirent* entry = readdir(by_id)) {  // cppcheck-suppress readdirCalled
            char path[PATH_MAX];
            (void)std::snprintf(path, sizeof path, "/dev/serial/by-id/%s", entry->d_name);
            add_link(path, list, capacity, count);
        }
        (void)closedir(by_id);
    }
    // A Raspberry Pi's name for the UART on its header.
    add_link("/dev/serial0", list, capacity, count);
    add_link("/dev/serial1", list, capacity, count);
    std::sort(list, list + count, before);
    const std::size_t links = count;
    if (DIR* ttys = opendir("/sys/class/tty")) {
        while (const dirent* entry = readdir(ttys)) {  // cppcheck-suppress readdirCalled
            if (count < capacity && in_family(entry->d_name) &&
                describe(entry->d_name, list[count].detail, sizeof list[count].detail)) {
                (void)std::snprintf(list[count].name, sizeof list[count].name, "/dev/%s",
                                    entry->d_name);
                ++count;
            }
        }
        (void)closedir(ttys);
    }
    std::sort(list + links, list + count, before);
    return count;
}

}  // namespace ports
