#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

// Input files for the tests, in a directory of this process's own, so that
// test processes running side by side (or as other users) never share one.
// It goes when the process ends.
inline const std::string& temp_dir() {
    static char name[] = "/tmp/uipacer-test-XXXXXX";  // outlives the exit handler
    static const std::string dir = [] {
        if (mkdtemp(name) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        (void)std::atexit([] { std::filesystem::remove_all(name); });
        return std::string(name) + "/";
    }();
    return dir;
}

inline std::string write_temp_file(const std::string& name, const std::string& content) {
    std::string path = temp_dir() + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        throw std::runtime_error("cannot write " + path);
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    if (std::fclose(f) != 0 || !written) {
        throw std::runtime_error("cannot write " + path);
    }
    return path;
}
