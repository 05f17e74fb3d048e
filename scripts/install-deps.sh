#!/usr/bin/env bash
# Installs, with apt-get, whatever the named test stages need and is missing
# (all stages when none is named; see scripts/test.sh).
set -euo pipefail

stages=("$@")
((${#stages[@]})) || stages=(format linux windows sanitize fuzz analyze)
needed=(cmake g++ make libgtest-dev)
for stage in "${stages[@]}"; do
    case "$stage" in
    format) needed+=(clang-format) ;;
    linux) needed+=(libbenchmark-dev dpkg-dev groff-base man-db direwolf) ;;
    windows) needed+=(g++-mingw-w64-x86-64-posix wine wine64 unzip) ;;
    sanitize | fuzz) needed+=(clang libclang-rt-14-dev) ;;
    analyze) needed+=(clang clang-tidy cppcheck g++-mingw-w64-x86-64-posix libbenchmark-dev) ;;
    *) echo "install-deps: no stage '$stage'" >&2; exit 2 ;;
    esac
done
if ! command -v dpkg >/dev/null; then
    echo "install-deps: not a Debian system; make sure you have: ${needed[*]}" >&2
    exit 0
fi
missing=()
for package in $(printf '%s\n' "${needed[@]}" | sort -u); do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
