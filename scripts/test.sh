#!/usr/bin/env bash
# Builds uipacer and runs the whole test suite: unit tests of the core over a
# fake serial layer, the built program against pseudo-terminals, and the
# Windows build, cross-compiled, against pseudo-terminals under Wine.
# With --linux-only, leaves out the Windows build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh "$@"
windows_program=
if [ "${1:-}" != "--linux-only" ]; then
    cmake -S . -B build/windows -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
    cmake --build build/windows -j"$(nproc)"
    windows_program="$PWD/build/windows/uipacer.exe"
fi
build=build/test
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DUIPACER_WINDOWS_PROGRAM="$windows_program"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
