#!/usr/bin/env bash
# Installs, with apt-get, whatever the named test stages need and is missing
# (all stages when none is named; see scripts/test.sh).
set -euo pipefail

stages=("$@")
((${#stages[@]})) || stages=(format linux windows sanitize fuzz analyze uart arm)
needed=(cmake g++ make libgtest-dev)
architectures=()  # other than this machine's, for the packages named name:arch
for stage in "${stages[@]}"; do
    case "$stage" in
    format) needed+=(clang-format) ;;
    linux)
        # lintian, hardening-check (devscripts) and systemd-analyze check the .deb.
        needed+=(libbenchmark-dev dpkg-dev file groff-base man-db direwolf python3 python3-pytest
            qemu-user-static lintian devscripts systemd)
        ;;
    windows)
        # googletest: its sources, built for the Windows boundary test.
        needed+=(g++-mingw-w64-x86-64-posix googletest wine wine64 unzip python3 python3-pytest)
        ;;
    sanitize | fuzz)
        needed+=(clang libclang-rt-14-dev python3 dpkg-dev file groff-base man-db)
        [ "$stage" = fuzz ] || needed+=(python3-pytest)
        ;;
    analyze) needed+=(clang clang-tidy cppcheck g++-mingw-w64-x86-64-posix libbenchmark-dev) ;;
    uart) needed+=(qemu-system-x86 cpio python3 python3-pytest) ;;
    arm)
        # The target's C library tells dpkg-shlibdeps what the packages
        # depend on; its kernels and busybox are downloaded by the test.
        architectures+=(arm64 armhf)
        needed+=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf dpkg-dev groff-base man-db
            qemu-user-static qemu-system-arm cpio python3 python3-pytest libc6:arm64
            libgcc-s1:arm64 libc6:armhf libgcc-s1:armhf lintian devscripts systemd)
        ;;
    *) echo "install-deps: no stage '$stage'" >&2; exit 2 ;;
    esac
done
if ! command -v dpkg >/dev/null; then
    echo "install-deps: not a Debian system; make sure you have: ${needed[*]}" >&2
    exit 0
fi
# sudo drops DEBIAN_FRONTEND from the environment, so it is passed on.
as_root=(env DEBIAN_FRONTEND=noninteractive)
[ "$(id -u)" -eq 0 ] || as_root=(sudo "${as_root[@]}")
for architecture in "${architectures[@]}"; do
    dpkg --print-foreign-architectures | grep -q -x "$architecture" ||
        "${as_root[@]}" dpkg --add-architecture "$architecture"
done
missing=()
for package in $(printf '%s\n' "${needed[@]}" | sort -u); do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    "${as_root[@]}" apt-get update -q
    "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
