#!/usr/bin/env bash
# Builds uipacer and runs the whole test suite: unit tests of the core over a
# fake serial layer, and the built program against pseudo-terminals.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=build/test
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
