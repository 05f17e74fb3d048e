#!/usr/bin/env bash
# Builds uipacer with its Com1 mapped to a virtual serial port (a
# pseudo-terminal) and sends the example frames through it, showing the
# program's console and, after each announcement, the KISS octets that
# arrived on the other end.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh linux
build="$PWD/build/demo"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DUIPACER_DEVICE_FAMILY="$build/ttyS"
cmake --build "$build" -j"$(nproc)"
echo
echo "\$ uipacer examples/beacons.txt 1 9600 1    (Com1 = $build/ttyS0, a pseudo-terminal)"
"$build/vport" "$build/ttyS0" "$build/uipacer" examples/beacons.txt 1 9600 1
