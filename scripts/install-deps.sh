#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test tools is missing.
# With --linux-only, leaves out the Windows cross compiler and Wine.
set -euo pipefail

needed=(cmake g++ make libgtest-dev)
if [ "${1:-}" != "--linux-only" ]; then
    needed+=(g++-mingw-w64-x86-64-posix wine wine64)
fi
if ! command -v dpkg >/dev/null; then
    echo "install-deps: not a Debian system; make sure you have: ${needed[*]}" >&2
    exit 0
fi
missing=()
for package in "${needed[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
