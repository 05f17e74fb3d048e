#!/usr/bin/env bash
# Builds uipacer with its Com1 mapped to a virtual serial port (a
# pseudo-terminal that kissmon opens) and sends each example file through
# it: uipacer's console and, as each frame arrives, kissmon's decoding of
# it, side by side.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh linux
build="$PWD/build/demo"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DUIPACER_DEVICE_FAMILY="$build/ttyS"
cmake --build "$build" -j"$(nproc)" --target uipacer kissmon

rm -f "$build/ttyS0"
"$build/kissmon" -l "$build/ttyS0" > >(sed -u 's/^/    kissmon| /') &
monitor=$!
trap 'kill $monitor 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$build/ttyS0" ] && break; sleep 0.1; done

for example in examples/*.txt; do
    echo
    echo "\$ uipacer $example 1 9600 1    (Com1 = $build/ttyS0)"
    "$build/uipacer" "$example" 1 9600 1
done
sleep 0.2
